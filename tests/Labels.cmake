# One ctest label on every test, so that a kind of test can be run alone
# (`ctest -L unit`, `make test-fast`):
#
#   unit         one class or function in-process, no processes, sockets or
#                queues; seconds for all of them
#   module       one module, plug-in or toolkit in-process against fakes or
#                the real queue, shared memory and loopback sockets
#   integration  real programs as processes with real peers (kore-sim, the
#                module programs, Modbus clients, the packages)
#   closed-loop  plug-ins driven by a simulated arm (control-host-sim, MuJoCo)
#
# A test gets its label from the first rule below whose pattern matches its
# target's name (tests discovered by gtest_discover_tests) or its own name
# (add_test), else from its directory's default. A new test in an existing
# directory needs nothing; a new directory gets a line in
# _test_directory_labels. A target can also name its label itself:
#   set_property(TARGET my_test PROPERTY TEST_LABEL closed-loop)
# Labels given elsewhere (set_tests_properties, gtest_discover_tests'
# PROPERTIES) are replaced: give them here.

set(_test_directory_labels
  admittance=module
  control=unit
  framework=module
  harness=integration
  host=closed-loop
  impedance=module
  kore=unit
  modbus=integration
  modbusmap=integration
  ndk=module
  package=integration
  readme=integration
  usertcp=module)

# pattern=label, tried in order (CMake regular expressions).
set(_test_label_rules
  "closed_loop|mujoco|scenarios|sweep|control_host_sim=closed-loop"
  "control_plugins=module"
  "_law_test$|_message_test$|register_map|exports_only|map_csv_current=unit"
  "kore_sim|module_process|robustness|demo|pymodbus|mbpoll=integration")

function(_test_label_for name directory_label out)
  foreach(_rule ${_test_label_rules})
    string(FIND "${_rule}" "=" _eq REVERSE)
    string(SUBSTRING "${_rule}" 0 ${_eq} _pattern)
    math(EXPR _from "${_eq} + 1")
    string(SUBSTRING "${_rule}" ${_from} -1 _label)
    if(name MATCHES "${_pattern}")
      set(${out} ${_label} PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${out} ${directory_label} PARENT_SCOPE)
endfunction()

# Labels the tests of every directory below tests/.
function(label_tests)
  set(_named "")
  get_property(_dirs DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} PROPERTY SUBDIRECTORIES)
  foreach(_dir ${_dirs})
    get_filename_component(_name ${_dir} NAME)
    set(_default "")
    foreach(_entry ${_test_directory_labels})
      if(_entry MATCHES "^${_name}=(.*)$")
        set(_default ${CMAKE_MATCH_1})
      endif()
    endforeach()
    get_property(_tests DIRECTORY ${_dir} PROPERTY TESTS)
    get_property(_targets DIRECTORY ${_dir} PROPERTY BUILDSYSTEM_TARGETS)
    if(_default STREQUAL "" AND (_tests OR _targets))
      message(WARNING "tests/${_name}: no label; add it to _test_directory_labels in "
                      "tests/Labels.cmake (labelled integration meanwhile)")
      set(_default integration)
    endif()
    # Tests of add_test: labelled by a file that ctest reads after every
    # test directory (a directory's own include files come before its tests).
    foreach(_test ${_tests})
      _test_label_for(${_test} ${_default} _label)
      string(APPEND _named "set_tests_properties([==[${_test}]==] PROPERTIES LABELS ${_label})\n")
    endforeach()
    # Tests that gtest_discover_tests finds after the build: labelled through
    # the target's list of them, by a file included after the discovered ones.
    set(_script "")
    foreach(_target ${_targets})
      get_target_property(_type ${_target} TYPE)
      if(NOT _type STREQUAL "EXECUTABLE")
        continue()
      endif()
      get_target_property(_label ${_target} TEST_LABEL)
      if(NOT _label)
        _test_label_for(${_target} ${_default} _label)
      endif()
      string(APPEND _script
        "if(DEFINED ${_target}_TESTS)\n"
        "  set_tests_properties(\${${_target}_TESTS} PROPERTIES LABELS ${_label})\n"
        "endif()\n")
    endforeach()
    if(_script)
      get_property(_bin DIRECTORY ${_dir} PROPERTY BINARY_DIR)
      file(WRITE ${_bin}/test_labels.cmake "${_script}")
      set_property(DIRECTORY ${_dir} APPEND PROPERTY TEST_INCLUDE_FILES ${_bin}/test_labels.cmake)
    endif()
  endforeach()
  set(_last ${CMAKE_CURRENT_BINARY_DIR}/test-labels-src)
  file(WRITE ${_last}/named.cmake "${_named}")
  file(WRITE ${_last}/CMakeLists.txt
    "set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${_last}/named.cmake)\n")
  add_subdirectory(${_last} ${CMAKE_CURRENT_BINARY_DIR}/test-labels)
endfunction()
