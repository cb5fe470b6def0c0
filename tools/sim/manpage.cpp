#include "manpage.h"

#include <cctype>
#include <string>
#include <string_view>

#include "ipam.h"

namespace sim {
namespace {

// Text as roff shows it: backslashes and hyphens escaped, and a line that
// would start with a control character protected.
std::string roff(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

// A footer heading is an unindented line ending in ':' ("Exit status:").
bool isHeading(std::string_view line) {
    return !line.empty() && line.back() == ':' &&
           !std::isspace(static_cast<unsigned char>(line[0]));
}

std::string upper(std::string_view text) {
    std::string out(text);
    for (char &c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// A help footer: plain paragraphs are filled, indented lines (tables and
// commands) are kept as written. With `sections`, its headings become the
// page's own sections (ENVIRONMENT, EXIT STATUS, EXAMPLES).
void footer(std::FILE *out, const std::string &text, bool sections) {
    bool verbatim = false;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + pos, end - pos);
        pos = end + 1;
        if (line.empty()) continue;
        const bool indented = line[0] == ' ';
        if (sections && isHeading(line)) {
            if (verbatim) std::fputs(".RE\n.fi\n", out);
            verbatim = false;
            std::fprintf(out, ".SH %s\n", upper(line.substr(0, line.size() - 1)).c_str());
            continue;
        }
        if (indented != verbatim) std::fputs(indented ? ".nf\n.RS 2\n" : ".RE\n.fi\n", out);
        verbatim = indented;
        std::fprintf(out, "%s\n", roff(verbatim ? line.substr(2) : line).c_str());
    }
    if (verbatim) std::fputs(".RE\n.fi\n", out);
}

void options(std::FILE *out, const CLI::App &sub) {
    for (const CLI::Option *opt : sub.get_options()) {
        if (opt->get_group().empty() || opt == sub.get_help_ptr()) continue;  // hidden, -h
        std::string name = opt->get_name(false, true);
        std::string type = opt->get_type_name();
        std::fprintf(out, ".TP\n\\fB%s\\fR", roff(name).c_str());
        if (!type.empty() && opt->get_expected_max() != 0 && !opt->get_positional())
            std::fprintf(out, " \\fI%s\\fR", roff(type).c_str());
        std::fprintf(out, "\n%s\n", roff(opt->get_description()).c_str());
    }
}

std::string usage(const CLI::App &sub) {
    std::string text = "\\fBipam\\-sim " + roff(sub.get_name()) + "\\fR [\\fIOPTIONS\\fR]";
    for (const CLI::Option *opt : sub.get_options())
        if (opt->get_positional()) {
            std::string name = "\\fI" + roff(opt->get_name()) + "\\fR";
            if (opt->get_expected_max() > 1) name += "...";
            text += " " + (opt->get_required() ? name : "[" + name + "]");
        }
    return text;
}

}  // namespace

int printManPage(const CLI::App &app, std::FILE *out) {
    // The description reads "ipam-sim: what it does".
    std::string what = app.get_description();
    if (size_t colon = what.find(": "); colon != std::string::npos) what.erase(0, colon + 2);
    const auto subs = app.get_subcommands([](const CLI::App *) { return true; });

    std::fprintf(out, ".TH IPAM\\-SIM 1 \"\" \"ipam %s\" \"User Commands\"\n", IPAM_VERSION_STRING);
    std::fprintf(out, ".SH NAME\nipam\\-sim \\- %s\n.SH SYNOPSIS\n", roff(what).c_str());
    for (const CLI::App *sub : subs) std::fprintf(out, "%s\n.br\n", usage(*sub).c_str());
    std::fputs("\\fBipam\\-sim\\fR \\fB\\-\\-help\\fR | \\fB\\-\\-version\\fR\n", out);
    std::fprintf(out, ".SH DESCRIPTION\n\\fBipam\\-sim\\fR %s.\n", roff(what).c_str());
    std::fputs("Each subcommand prints its own summary with \\fB\\-\\-help\\fR.\n", out);
    std::fputs(".SH OPTIONS\n", out);
    options(out, app);
    std::fputs(".SH COMMANDS\n", out);
    for (const CLI::App *sub : subs) {
        std::fprintf(out, ".SS %s\n%s\n.PP\n", usage(*sub).c_str(),
                     roff(sub->get_description()).c_str());
        options(out, *sub);
        if (!sub->get_footer().empty()) {
            std::fputs(".PP\n", out);
            footer(out, sub->get_footer(), false);
        }
    }
    footer(out, app.get_footer(), true);
    std::fputs(".SH SEE ALSO\n\\fBlibipam\\fR(3)\n", out);
    return std::ferror(out) ? 1 : 0;
}

}  // namespace sim
