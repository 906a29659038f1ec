# Run by CPack after installing into its staging tree: the sections a stripped
# program does not need (the compiler's identification), as Debian's dh_strip drops them.
file(GLOB programs ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin/*)
foreach(program ${programs})
    execute_process(COMMAND strip --remove-section=.comment --remove-section=.note ${program}
                    RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "strip failed on ${program}")
    endif()
endforeach()
