# Script mode: writes a manual page compressed as Debian installs them
# (gzip -9n: no name, no time stamp, so the same sources give the same file).
#   -DOUT=<page>.gz and either -DSIM=<ipam-sim> [-DEMULATOR=<cross emulator>]
#   (the page is what `ipam-sim --manpage` prints) or -DPAGE=<written page>.
get_filename_component(plain ${OUT} NAME_WLE)
get_filename_component(dir ${OUT} DIRECTORY)
set(plain ${dir}/${plain})
if(SIM)
  execute_process(COMMAND ${EMULATOR} ${SIM} --manpage OUTPUT_FILE ${plain} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${SIM} --manpage failed: ${rc}")
  endif()
else()
  configure_file(${PAGE} ${plain} COPYONLY)
endif()
execute_process(COMMAND gzip -9nf ${plain} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip ${plain} failed: ${rc}")
endif()
