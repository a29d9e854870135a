# Run by cpack on the finished package. Each member of a .deb carries in its
# ar header the mode its file had on disk, so the umask of whoever packaged it
# would show; give every member the 0644 that dpkg-deb writes.
find_program(DD dd REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  file(SIZE "${deb}" deb_size)
  set(offset 8)  # past "!<arch>\n"
  while(offset LESS deb_size)
    # A header: name 16, time 12, owner 6, group 6, mode 8, size 10, "`\n".
    file(READ "${deb}" header OFFSET ${offset} LIMIT 60)
    string(SUBSTRING "${header}" 48 10 member_size)
    string(STRIP "${member_size}" member_size)
    if(NOT member_size MATCHES "^[0-9]+$")
      message(FATAL_ERROR "${deb}: no ar member header at byte ${offset}")
    endif()
    math(EXPR mode_offset "${offset} + 40")
    execute_process(COMMAND ${CMAKE_COMMAND} -E echo_append "100644  "
                    COMMAND ${DD} of=${deb} bs=1 seek=${mode_offset} conv=notrunc status=none
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${deb}: cannot set the mode of the member at byte ${offset}")
    endif()
    # Members start on even bytes.
    math(EXPR offset "${offset} + 60 + ${member_size} + ${member_size} % 2")
  endwhile()
endforeach()
