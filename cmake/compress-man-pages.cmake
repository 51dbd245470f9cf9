# Run by CPack in the Debian package's staging folder before it is packed: Debian keeps manual
# pages compressed with `gzip -9n` (no name or time stamp inside, so every build packs the same
# bytes).
find_program(gzip_program gzip REQUIRED)
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/man[1-9]/*.[1-9]")
if(NOT pages)
  message(FATAL_ERROR "no manual page under ${CPACK_TEMPORARY_INSTALL_DIRECTORY} to compress")
endif()
foreach(page IN LISTS pages)
  execute_process(COMMAND ${gzip_program} -9nf ${page} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip could not compress ${page}")
  endif()
endforeach()
