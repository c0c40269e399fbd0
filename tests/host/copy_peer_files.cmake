# Copies the peer build's 32-bit instrument host and instrument libraries
# beside this build's module, the libraries renamed with "32":
#   cmake -DPEER=<peer bin> -DBIN=<this bin> -DHOST=<host file> -DSUFFIX=<.so|.dll>
#         -P copy_peer_files.cmake
# Fails when the peer build lacks them: the host suite then does not run.
foreach(file ${HOST})
  if(NOT EXISTS ${PEER}/${file})
    message(FATAL_ERROR "${PEER}/${file} is missing: build the 32-bit preset first")
  endif()
  file(COPY ${PEER}/${file} DESTINATION ${BIN})
endforeach()
foreach(library simspectro recordingspectro missingexport)
  if(NOT EXISTS ${PEER}/${library}${SUFFIX})
    message(FATAL_ERROR "${PEER}/${library}${SUFFIX} is missing: build the 32-bit preset first")
  endif()
  file(COPY_FILE ${PEER}/${library}${SUFFIX} ${BIN}/${library}32${SUFFIX})
endforeach()
