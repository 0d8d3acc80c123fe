# Run by cpack once the packages' files are installed for it, before it packs
# them (CPACK_PRE_BUILD_SCRIPTS, set by package_version.cmake): each package's
# changelog.gz, the build's copy of packaging/changelog, becomes the one with
# the entry of the packages' version on top.
file(GLOB changelogs LIST_DIRECTORIES false
    ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/usr/share/doc/*/changelog.gz)
if(changelogs STREQUAL "")
    message(FATAL_ERROR "no changelog.gz in ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
foreach(changelog IN LISTS changelogs)
    file(COPY_FILE ${PELVORAN_PACKAGE_CHANGELOG}.gz ${changelog})
endforeach()
