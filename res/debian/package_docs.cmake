# Run by CPack once the package's files are staged, before the DEB is built: the manual pages
# gzipped as Debian keeps them, and the copyright file and changelog the package must carry.
set(stage "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
if(NOT IS_DIRECTORY "${stage}/share")
  message(FATAL_ERROR "package_docs.cmake: no staged tree at ${stage}")
endif()
find_program(gzip gzip REQUIRED)
file(GLOB pages "${stage}/share/man/man*/*.[1-9]")
set(doc "${stage}/share/doc/quarnel")
file(MAKE_DIRECTORY "${doc}")
file(COPY_FILE "${CPACK_QUARNEL_COPYRIGHT}" "${doc}/copyright")
file(COPY_FILE "${CPACK_QUARNEL_CHANGELOG}" "${doc}/changelog")
foreach(file ${pages} "${doc}/changelog")
  # -n: no name or time stamp inside, so the same files make the same package.
  execute_process(COMMAND ${gzip} -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(CHMOD "${doc}/copyright" "${doc}/changelog.gz" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
