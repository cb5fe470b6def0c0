# Warnings, sanitizers and the flags of the library's own code.

# Warnings are errors for everything we build, with gcc and with clang.
set(IPAM_WARNINGS -Wall -Wextra -Werror -Wshadow -Wformat=2 -Wno-format-nonliteral)

# Read-only relocations, bound at load, for every binary: Debian's hardening
# (the MIPS cross linker does not default to it as the native one does).
add_link_options(-Wl,-z,relro -Wl,-z,now)

if(IPAM_SANITIZE)
  add_compile_options(-fsanitize=${IPAM_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${IPAM_SANITIZE})
endif()

# Flags of the library and the stand-in platform: no exceptions, no RTTI,
# nothing exported unless marked.
function(ipam_library_flags target)
  target_compile_options(${target} PRIVATE ${IPAM_WARNINGS}
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fvisibility-inlines-hidden>
    -fvisibility=hidden)
endfunction()

# Flags of tests, tools and benchmarks.
function(ipam_program_flags target)
  target_compile_options(${target} PRIVATE ${IPAM_WARNINGS})
endfunction()

# Test programs. The code under test keeps its build's optimisation; the
# tests themselves are built unoptimised and share one precompiled GoogleTest
# header, which is what keeps the four builds of the suite (native,
# sanitizers, MIPS) inside the CI budget.
function(ipam_test_flags target)
  ipam_program_flags(${target})
  target_compile_options(${target} PRIVATE -O0)
  if(TARGET ipam_test_pch)
    target_precompile_headers(${target} REUSE_FROM ipam_test_pch)
  endif()
endfunction()
