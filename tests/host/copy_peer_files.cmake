# Copies the peer build's 32-bit instrument host and instrument libraries
# beside this build's module, the libraries renamed with "32":
#   cmake -DPEER=<peer bin> -DBIN=<this bin> -DHOST=<host file> -DSUFFIX=<.so|.dll>
#         -P copy_peer_files.cmake
# What the peer build lacks is said and left out: the host tests then skip,
# saying why (or fail, where the test command requires them).
foreach(file ${HOST})
  if(EXISTS ${PEER}/${file})
    file(COPY ${PEER}/${file} DESTINATION ${BIN})
  else()
    file(REMOVE ${BIN}/${file})
    message(STATUS "${PEER}/${file} is missing: build the 32-bit preset first")
  endif()
endforeach()
foreach(library simspectro recordingspectro missingexport)
  if(EXISTS ${PEER}/${library}${SUFFIX})
    file(COPY_FILE ${PEER}/${library}${SUFFIX} ${BIN}/${library}32${SUFFIX})
  else()
    file(REMOVE ${BIN}/${library}32${SUFFIX})
    message(STATUS "${PEER}/${library}${SUFFIX} is missing: build the 32-bit preset first")
  endif()
endforeach()
