# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) on the staging folder, after the install rules and before
# the package is packed: what Debian asks of a package beyond the installed files. gzip -n keeps
# names and times out of the compressed files, so the same tree gives the same bytes.
set(prefix "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
if(NOT IS_DIRECTORY "${prefix}/bin")
  message(FATAL_ERROR "StagingTree: no programs under ${prefix}")
endif()
set(doc "${prefix}/${CPACK_VRL_DOCDIR}")

function(vrl_gzip file)
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "StagingTree: gzip ${file} failed")
  endif()
  file(CHMOD "${file}.gz" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

# Man pages are read compressed.
file(GLOB_RECURSE pages LIST_DIRECTORIES false "${prefix}/${CPACK_VRL_MANDIR}/*")
foreach(page IN LISTS pages)
  if(NOT page MATCHES "\\.gz$")
    vrl_gzip("${page}")
  endif()
endforeach()

file(COPY "${CPACK_VRL_DEBIAN_DIR}/copyright" DESTINATION "${doc}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The version is the project's own (a native package), so its changelog is changelog.gz. The date
# is SOURCE_DATE_EPOCH's when set (scripts/package.sh sets it to the last commit's), else now.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(version "${CPACK_PACKAGE_VERSION}")
set(maintainer "${CPACK_PACKAGE_CONTACT}")
configure_file("${CPACK_VRL_DEBIAN_DIR}/changelog.in" "${doc}/changelog" @ONLY)
vrl_gzip("${doc}/changelog")
