# Test executables link with lld where it is installed: GNU ld took two and
# a half times as long for the sanitized ones. The programs that ship keep
# GNU ld. (The Windows test builds use PELVORAN_LINK_WITH_LLD instead.)
find_program(PELVORAN_LLD ld.lld)
function(pelvoran_test_linker target)
    if(PELVORAN_LLD AND NOT WIN32)
        target_link_options(${target} PRIVATE -fuse-ld=lld)
    endif()
endfunction()
