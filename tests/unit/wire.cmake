target_link_libraries(${exe} PRIVATE ipam_wire)
