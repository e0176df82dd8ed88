# Run by cpack after it has written the packages (CPACK_POST_BUILD_SCRIPTS).
# CPack gives a package whose shared objects lie under /usr/lib a postinst
# and a postrm that only call ldconfig. The plug-ins are loaded by path and
# never through the linker cache, and a postrm makes `apt-get remove` leave
# the package in state "rc" though it has no conffiles. Such scripts are
# taken out of the package again.
foreach(_deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT _deb MATCHES "\\.deb$")
    continue()
  endif()
  set(_dir ${_deb}.tree)
  file(REMOVE_RECURSE ${_dir})
  execute_process(COMMAND dpkg-deb -R ${_deb} ${_dir} RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "cannot unpack ${_deb}")
  endif()
  set(_changed FALSE)
  foreach(_script postinst postrm)
    set(_file ${_dir}/DEBIAN/${_script})
    if(EXISTS ${_file})
      file(STRINGS ${_file} _lines)
      set(_other FALSE)
      foreach(_line IN LISTS _lines)
        string(STRIP "${_line}" _line)
        if(NOT _line STREQUAL "" AND NOT _line MATCHES "^#" AND NOT _line MATCHES "ldconfig"
           AND NOT _line MATCHES "^(set -e|fi|then|exit 0)$"
           AND NOT _line MATCHES "^if \\[ .* \\](; then)?$")
          set(_other TRUE)
        endif()
      endforeach()
      if(NOT _other)
        file(REMOVE ${_file})
        set(_changed TRUE)
      endif()
    endif()
  endforeach()
  if(_changed)
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -b ${_dir} ${_deb}
                    RESULT_VARIABLE _rc OUTPUT_QUIET)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR "cannot repack ${_deb}")
    endif()
  endif()
  file(REMOVE_RECURSE ${_dir})
endforeach()
