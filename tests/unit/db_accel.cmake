# Accelerator growth failures are injected through a malloc wrapper.
target_link_options(${exe} PRIVATE -Wl,--wrap=malloc)
