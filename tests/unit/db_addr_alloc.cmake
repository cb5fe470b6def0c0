# Allocation failures are injected, and allocations balanced, through
# wrappers around the library's malloc, calloc and free.
target_link_options(${exe} PRIVATE -Wl,--wrap=malloc -Wl,--wrap=calloc -Wl,--wrap=free)
