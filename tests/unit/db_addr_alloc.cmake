# Allocation failures are injected, and allocations balanced, through
# wrappers around the library's malloc and free.
target_link_options(${exe} PRIVATE -Wl,--wrap=malloc -Wl,--wrap=free)
