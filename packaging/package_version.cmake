# Read by cpack each time it makes the packages (the generated
# cpack_project.cmake includes it), never when CMake configures: a build
# folder configured before a commit still makes packages of the commit it
# builds. The packages' version is the changelog's followed by the source's
# revision, 1.05+20261209115149: the time of the commit (UTC), so that a
# build of a later commit upgrades an installed one, and every build of one
# commit is the same, whoever makes it and whenever. The programs' own version
# (the caption, the User-Agent, the update check, AppStream) stays the
# changelog's.
#
# The revision comes from git: the committer time of HEAD, which a shallow
# clone has too. Source that is no git checkout (a tarball) names it in the
# environment: PELVORAN_PACKAGE_REVISION=20261209115149, which also wins over
# git when set. Each package's changelog gets an entry of that version, dated
# then; every time stamp inside the packages is that moment too.
#
# Set by cpack_project.cmake: PELVORAN_SOURCE_DIR, PELVORAN_PACKAGING_DIR (the
# build folder's packaging/), PELVORAN_VERSION, PELVORAN_CHANGELOG_EPOCH (the
# changelog's newest entry, seconds since 1970), PELVORAN_CONTACT,
# PELVORAN_GZIP.

include(${CMAKE_CURRENT_LIST_DIR}/epoch.cmake)

set(revision "$ENV{PELVORAN_PACKAGE_REVISION}")
set(how "用环境变量 PELVORAN_PACKAGE_REVISION 给出源代码的提交时间（UTC），形如 20261209115149")
if(NOT revision STREQUAL "")
    if(NOT revision MATCHES "^([0-9][0-9][0-9][0-9])([0-9][0-9])([0-9][0-9])([0-9][0-9])([0-9][0-9])([0-9][0-9])$")
        message(FATAL_ERROR "PELVORAN_PACKAGE_REVISION=${revision} 不是 14 位数字：请${how}")
    endif()
    pelvoran_epoch(epoch ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4}
                   ${CMAKE_MATCH_5} ${CMAKE_MATCH_6})
elseif(EXISTS ${PELVORAN_SOURCE_DIR}/.git)
    find_program(PELVORAN_GIT git)
    if(NOT PELVORAN_GIT)
        message(FATAL_ERROR "源代码是 git 检出，但找不到 git：请安装 git，或${how}")
    endif()
    execute_process(COMMAND ${PELVORAN_GIT} -C ${PELVORAN_SOURCE_DIR} log -1 --format=%ct
        OUTPUT_VARIABLE epoch ERROR_VARIABLE error RESULT_VARIABLE status
        OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT status EQUAL 0 OR NOT epoch MATCHES "^[0-9]+$")
        message(FATAL_ERROR "git log 没有给出提交时间（${error}）：请${how}")
    endif()
else()
    message(FATAL_ERROR "源代码不是 git 检出，无法得知软件包的版本：请${how}")
endif()

# string(TIMESTAMP) writes the moment that SOURCE_DATE_EPOCH names.
set(ENV{SOURCE_DATE_EPOCH} ${epoch})
string(TIMESTAMP written "%Y%m%d%H%M%S" UTC)
if(NOT revision STREQUAL "" AND NOT written STREQUAL revision)
    message(FATAL_ERROR "PELVORAN_PACKAGE_REVISION=${revision} 不是有效的时间：请${how}")
endif()
set(revision ${written})
string(TIMESTAMP shown "%Y-%m-%d %H:%M:%S" UTC)
# The day and month names are C's, whatever the locale.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
if(epoch LESS_EQUAL PELVORAN_CHANGELOG_EPOCH)
    message(FATAL_ERROR "软件包的修订时间 ${shown}（UTC）不晚于 packaging/changelog 最新一条的日期："
                        "请检查该条的日期，或${how}")
endif()

set(CPACK_DEBIAN_PACKAGE_VERSION ${PELVORAN_VERSION}+${revision})

# The changelog with the entry of this version on top, in place of the
# changelog.gz that the build made (packaging/package_changelog.cmake puts it
# into both packages, once they are installed for cpack).
file(READ ${PELVORAN_SOURCE_DIR}/packaging/changelog changelog)
file(MAKE_DIRECTORY ${PELVORAN_PACKAGING_DIR}/package)
set(PELVORAN_PACKAGE_CHANGELOG ${PELVORAN_PACKAGING_DIR}/package/changelog)
file(WRITE ${PELVORAN_PACKAGE_CHANGELOG}
    "pelvoran (${CPACK_DEBIAN_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
    "  * ${PELVORAN_VERSION} 的构建，源代码提交于 ${shown}（UTC）。\n\n"
    " -- ${PELVORAN_CONTACT}  ${date}\n\n"
    "${changelog}")
execute_process(COMMAND ${PELVORAN_GZIP} -9nf ${PELVORAN_PACKAGE_CHANGELOG}
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${PELVORAN_PACKAGE_CHANGELOG} failed")
endif()
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package_changelog.cmake)
