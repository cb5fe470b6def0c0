#include "help.h"

namespace sim {

const char *const kScenarioHelp =
    R"(Scenario lines (one verb per line, '#' starts a comment; see docs/scenarios.md):
  module id=N name=TEXT                          name a module for log lines
  subscribe|subscribe4 handle=N module=N care=EVENTS
  unsubscribe|unsubscribe4 module=N
  batch start | batch end                        frame a publisher batch
  add4|del4|batch4 if=N [name=] [vrf=] addr=A[/LEN] [mask=] [attr=]
  add6|del6|update6|batch6 if=N [name=] [vrf=] addr=A[/LEN] [mask=] [dest=] [attr=]
  ifvalid4|ifinvalid4|ifvalid6|ifinvalid6 if=N [len=]
  relay [record fields]                          relay message
  message code=N [len=] [record fields]          any message code, IPv4 payload
  query configured4 if=N | query primary4 if=N|name=
  query addr4 [vrf=] addr=A | query addr6 [vrf=] addr=A
  query src6 if=N|name= [dest=A] | query ifaddr6 if=N addr=A
  query subscribed | query care
  walk4 if=N | walk6 if=N | show                 interface walks, whole replica
  mgmt debug get|set|clear [api|rsv|db|event|sub|all|ID] [len=]
  mgmt export4|export6 [page=N] [follow]
  conf init [v1=] [v2=] [answer=] | conf fini
  conf reply [init=] [fini=] [send=] [recv=] [parse=] [err=]
  conf call [a=] [b=] [c=] [d=]
  set4|set6|setdest6 code=N <record fields>
  expect event CODE [record fields] | expect events N
  expect result N|NAME | expect value N | expect count N
  expect record [record fields] | expect log text="..."
Exit status: 0 all expectations hold, 1 one failed (FILE:LINE), 2 bad scenario (FILE:LINE:COLUMN).)";

const char *const kKernelHelp =
    R"(Mirrors this machine's kernel address table into the replica: the dump is
one publisher batch (IPv4 records as IPAM4_EVT_BATCH, IPv6 as IPAM6_EVT_BATCH).
With --follow each kernel address change becomes an add, delete or (IPv6)
update message, a link going down or up the interface messages of both
families, and SIGHUP plays a resynchronising batch whose sweep removes what
the kernel dropped.
Queries use the scenario's query forms, e.g.
  --query 'primary4 name=eth0'  --query 'addr4 addr=127.0.0.1'  --query 'src6 name=eth0 dest=2001:db8::1')";

const char *const kServeHelp =
    R"(Listens in $IPAM_PLATFORM_RUNDIR as the publisher and the configuration
server; every subscribing host gets the whole table as one batch, then each
change. Table file lines and stdin commands use the scenario's forms:
  add4/add6/batch4/batch6 RECORD   add or replace a record
  del4/del6 RECORD                 delete it
  update6 RECORD                   take RECORD's attribute
  ifvalid4|ifinvalid4|ifvalid6|ifinvalid6 if=N
  relay                            a relay message
  restart                          the whole table again, as a batch
  release                          send the batch ends --hold-end held
  show                             print the table
  quit                             stop serving
Each change is acknowledged on stdout ("# sent to N subscribers"; --quiet
silences it); a command that cannot be carried out is reported on stderr
as "stdin:LINE: reason" and changes nothing. At the end of stdin the
publisher goes on serving until SIGINT or SIGTERM (or SIGHUP, unless
--kernel, where SIGHUP reads the kernel's table again and publishes what
changed). --table and --kernel exclude each other; --kernel takes no stdin
commands, so it excludes --hold-end.
One publisher serves a directory: the second is refused. The directory is
created (mode 0700, with its parents) when missing; an existing one must
belong to this user and be writable by nobody else.
Set-address requests: code 1 adds, 2 deletes (error 14 when absent); others
answer 95, and so does every request with --kernel. See docs/wire.md.
Exit status: 0 stopped by quit or a signal, 1 the directory, the sockets or
the kernel cannot be used, 2 a bad table file or conflicting options,
3 another publisher serves the directory.
Environment: IPAM_PLATFORM_RUNDIR, the runtime directory (required).)";

const char *const kCtlHelp =
    R"(Reaches a host process's management socket in $IPAM_PLATFORM_RUNDIR:
  list                              hosts with a management socket: pid, module,
                                    subscription, state; sockets of processes
                                    that are gone are removed
  PID debug get|set|clear NAMES     the library's debug flags (api event sub rsv db all)
  PID export4|export6 [--page N]    the host's replica, page by page
A host's state: synchronised (its first batch ended; also while it
resynchronises or has lost its publisher), in its first batch, waiting for the
publisher, not subscribed, not ready (alive, no management socket yet), not
running. An export needs a synchronised host, debug a subscribed one;
--wait SECONDS waits for that (the state is checked every 50 ms).
Exit status: 0 done, 1 the host went away, refused or answered an error,
2 bad usage, 3 not running, 4 not ready, 5 not subscribed, 6 not synchronised.
Environment: IPAM_PLATFORM_RUNDIR, the runtime directory (required).)";

}  // namespace sim
