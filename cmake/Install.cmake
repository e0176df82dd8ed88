# Install rules and Debian packages (`make package`, or `cpack` in the build
# folder). Three packages, each a CPack component:
#   robot-controller-addons      the module programs and the control plug-ins
#   robot-controller-addons-sim  kore-sim and control-host-sim with the plot
#                                script and the scenarios
#   robot-controller-addons-dev  the SDK: public headers, static libraries and
#                                the CMake package RobotControllerAddons
# Every program gets a man page made from its --help and --version by
# help2man, every package a copyright file and a changelog.Debian.gz.
set(ADDONS_NAME robot-controller-addons)
set(ADDONS_PLUGIN_DIR lib/${ADDONS_NAME})
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(ADDONS_ARCH_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
else()
  set(ADDONS_ARCH_LIBDIR lib)
endif()
set(ADDONS_SDK_LIBDIR ${ADDONS_ARCH_LIBDIR}/${ADDONS_NAME})
set(ADDONS_CMAKE_DIR ${ADDONS_ARCH_LIBDIR}/cmake/RobotControllerAddons)
set(ADDONS_INCLUDE_DIR include/${ADDONS_NAME})
set(ADDONS_SHARE_DIR share/${ADDONS_NAME})
set(ADDONS_DEB_RELEASE 1)
set(ADDONS_MAINTAINER "Robot Controller Add-ons Developers <addons@example.org>")
# Packing reuses the build as it is (`make package` builds first).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(_pkg_src ${PROJECT_SOURCE_DIR}/cmake/package)
set(_pkg_bin ${PROJECT_BINARY_DIR}/package)

# --- programs, plug-ins, data -------------------------------------------------
set(_runtime_programs usertcp-module modbus-slave-module)
set(_sim_programs kore-sim control-host-sim)
set(_plugins admittance_control impedance_control)
set(_shared_lib_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

foreach(_p ${_runtime_programs})
  if(TARGET ${_p})
    install(TARGETS ${_p} RUNTIME DESTINATION bin COMPONENT runtime)
  endif()
endforeach()
foreach(_p ${_plugins})
  if(TARGET ${_p})
    install(TARGETS ${_p} LIBRARY DESTINATION ${ADDONS_PLUGIN_DIR} COMPONENT runtime
            PERMISSIONS ${_shared_lib_permissions})
    # A plug-in that calls no C library function itself still runs on it
    # (through libstdc++); the dependency is recorded so package tools see it.
    target_link_options(${_p} PRIVATE "LINKER:--push-state,--no-as-needed,-lc,--pop-state")
  endif()
endforeach()
foreach(_p ${_sim_programs})
  if(TARGET ${_p})
    install(TARGETS ${_p} RUNTIME DESTINATION bin COMPONENT sim)
  endif()
endforeach()
if(TARGET control-host-sim)
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/sim/host/plot_log.py DESTINATION ${ADDONS_SHARE_DIR}
          COMPONENT sim)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/sim/host/scenarios/ DESTINATION ${ADDONS_SHARE_DIR}/scenarios
          COMPONENT sim FILES_MATCHING PATTERN "*.txt")
endif()

# --- user documentation -----------------------------------------------------------
# The docs folder as it is in the source tree (the pages, their plots, the
# tuning maps and the Modbus map CSV), so the pages' links between each other
# hold. The sim package carries the simulator's and the scenario format's
# pages too, for a machine that installs only the stand-ins; the dev package
# the SDK's.
set(ADDONS_DOC_DIR share/doc/${ADDONS_NAME})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${ADDONS_DOC_DIR} COMPONENT runtime
        FILES_MATCHING PATTERN "*.md" PATTERN "*.csv" PATTERN "*.png")
install(FILES ${PROJECT_SOURCE_DIR}/docs/control.md ${PROJECT_SOURCE_DIR}/docs/simulator.md
        DESTINATION share/doc/${ADDONS_NAME}-sim COMPONENT sim)
install(FILES ${PROJECT_SOURCE_DIR}/docs/packages.md
        DESTINATION share/doc/${ADDONS_NAME}-dev COMPONENT dev)

# --- the SDK ------------------------------------------------------------------
# Every header of the control framework's common folder (new ones included),
# the module framework's headers and the wire contracts.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/control/common/ DESTINATION ${ADDONS_INCLUDE_DIR}/control
        COMPONENT dev FILES_MATCHING PATTERN "*.h")
set(_fw ${PROJECT_SOURCE_DIR}/FW/src/TaskIntegration/TI4UserOperation)
install(FILES
    ${_fw}/common/MessageQueue/MessageQueue.h
    ${_fw}/CommunicationModule/CommunicationModuleBase.h
    ${_fw}/CommunicationModule/MonitoringData.h
    ${_fw}/CommunicationModule/Sharedmem.h
  DESTINATION ${ADDONS_INCLUDE_DIR}/framework COMPONENT dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/contracts/ DESTINATION ${ADDONS_INCLUDE_DIR}/contracts
        COMPONENT dev FILES_MATCHING PATTERN "*.h")
foreach(_lib control_common control_robot_info velo_framework)
  if(TARGET ${_lib})
    install(TARGETS ${_lib} ARCHIVE DESTINATION ${ADDONS_SDK_LIBDIR} COMPONENT dev)
  endif()
endforeach()
# A stripped install (cpack strips) drops the static libraries' debug
# information too; their symbols stay, so they still link.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    file(GLOB _archives \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${ADDONS_SDK_LIBDIR}/*.a\")
    foreach(_archive \${_archives})
      execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug \"\${_archive}\")
    endforeach()
  endif()" COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/control/common/plugin.map
              ${PROJECT_SOURCE_DIR}/control/common/robot_info.dynlist
        DESTINATION ${ADDONS_CMAKE_DIR} COMPONENT dev)
include(CMakePackageConfigHelpers)
configure_package_config_file(${_pkg_src}/RobotControllerAddonsConfig.cmake.in
  ${_pkg_bin}/RobotControllerAddonsConfig.cmake
  INSTALL_DESTINATION ${ADDONS_CMAKE_DIR}
  PATH_VARS ADDONS_INCLUDE_DIR ADDONS_SDK_LIBDIR)
write_basic_package_version_file(${_pkg_bin}/RobotControllerAddonsConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${_pkg_bin}/RobotControllerAddonsConfig.cmake
              ${_pkg_bin}/RobotControllerAddonsConfigVersion.cmake
        DESTINATION ${ADDONS_CMAKE_DIR} COMPONENT dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION share/doc/${ADDONS_NAME}-dev/examples
        COMPONENT dev)

# --- man pages ----------------------------------------------------------------
find_program(HELP2MAN help2man)
find_program(GZIP gzip)
set(_man_descriptions
  "usertcp-module=user TCP module of the robot controller"
  "modbus-slave-module=Modbus TCP slave module of the robot controller"
  "kore-sim=stand-in for KORE and the Module Manager"
  "control-host-sim=stand-in for the control host with a simulated arm")
# Each page's SEE ALSO: the installed documents that describe the program,
# one per line, not hyphenated.
set(_doc /usr/share/doc/${ADDONS_NAME})
set(_see_usertcp-module "${_doc}/usertcp.md" "${_doc}/robustness.md")
set(_see_modbus-slave-module "${_doc}/modbus.md"
    "${_doc}/modbus-map.csv (the map for SCADA and HMI tools)" "${_doc}/robustness.md")
set(_see_kore-sim "${_doc}-sim/simulator.md" "${_doc}/usertcp.md" "${_doc}/modbus.md")
set(_see_control-host-sim "${_doc}-sim/control.md (the scenario format)"
    "${_doc}-sim/simulator.md" "${_doc}/admittance.md" "${_doc}/impedance.md"
    "${_doc}/tuning.md" "/usr/share/${ADDONS_NAME}/scenarios/ (example scenarios)")
set(_man_pages)
if(HELP2MAN AND GZIP)
  foreach(_entry ${_man_descriptions})
    string(REPLACE "=" ";" _pair "${_entry}")
    list(GET _pair 0 _prog)
    list(GET _pair 1 _what)
    if(NOT TARGET ${_prog})
      continue()
    endif()
    set(_man ${_pkg_bin}/man/${_prog}.1)
    set(_include ${_pkg_bin}/man/${_prog}.h2m)
    set(_see "[SEE ALSO]\n.nh\n")
    foreach(_line IN LISTS _see_${_prog})
      string(REPLACE "-" "\\-" _line "${_line}")
      string(APPEND _see "${_line}\n.br\n")
    endforeach()
    file(WRITE ${_include} "${_see}")
    add_custom_command(OUTPUT ${_man}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${_pkg_bin}/man
      # The footer names the package and its version; the program's full
      # --version line (with git describe) stays in the page's VERSION part.
      COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1 --name=${_what}
              "--source=${ADDONS_NAME} ${PROJECT_VERSION}" --include=${_include} --output=${_man} $<TARGET_FILE:${_prog}>
      COMMAND ${GZIP} -9nf ${_man}
      DEPENDS ${_prog} ${_include}
      COMMENT "Man page of ${_prog}"
      VERBATIM)
    list(APPEND _man_pages ${_man}.gz)
    if(_prog IN_LIST _runtime_programs)
      install(FILES ${_man}.gz DESTINATION share/man/man1 COMPONENT runtime)
    else()
      install(FILES ${_man}.gz DESTINATION share/man/man1 COMPONENT sim)
    endif()
  endforeach()
else()
  message(STATUS "help2man or gzip not found: packages without man pages")
endif()

# --- copyright and changelog of each package ------------------------------------
string(TIMESTAMP ADDONS_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ADDONS_VERSION ${PROJECT_VERSION})
set(_doc_files)
foreach(_component runtime sim dev)
  if(_component STREQUAL "runtime")
    set(ADDONS_PACKAGE ${ADDONS_NAME})
  else()
    set(ADDONS_PACKAGE ${ADDONS_NAME}-${_component})
  endif()
  set(_dir ${_pkg_bin}/doc/${ADDONS_PACKAGE})
  configure_file(${_pkg_src}/changelog.in ${_dir}/changelog.Debian @ONLY)
  configure_file(${_pkg_src}/copyright ${_dir}/copyright COPYONLY)
  add_custom_command(OUTPUT ${_dir}/changelog.Debian.gz
    COMMAND ${GZIP} -9nkf ${_dir}/changelog.Debian
    DEPENDS ${_dir}/changelog.Debian
    VERBATIM)
  list(APPEND _doc_files ${_dir}/changelog.Debian.gz)
  install(FILES ${_dir}/copyright ${_dir}/changelog.Debian.gz
          DESTINATION share/doc/${ADDONS_PACKAGE} COMPONENT ${_component})
endforeach()
add_custom_target(package_files ALL DEPENDS ${_man_pages} ${_doc_files})

# --- CPack ----------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ADDONS_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ADDONS_MAINTAINER}")
set(CPACK_PACKAGE_VENDOR "Robot Controller Add-ons Developers")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime sim dev)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${ADDONS_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/robot-controller-addons")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
# No maintainer scripts that only call ldconfig (see the script).
set(CPACK_POST_BUILD_SCRIPTS ${_pkg_src}/drop_ldconfig.cmake)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${ADDONS_NAME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION misc)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "add-on modules and control plug-ins for a six-axis robot arm
The user TCP module and the Modbus TCP slave module, started by the
controller's Module Manager with KORE's process id, and the admittance and
impedance control plug-ins (in /usr/lib/robot-controller-addons) that the
control host loads and drives every 1 ms control cycle.")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME ${ADDONS_NAME}-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "python3")
set(CPACK_DEBIAN_SIM_PACKAGE_RECOMMENDS "python3-matplotlib, ${ADDONS_NAME}")
set(CPACK_COMPONENT_SIM_DESCRIPTION "stand-ins for trying the robot controller add-ons
kore-sim plays KORE and the Module Manager for the module programs: it
creates the control queue and the monitoring record, starts a module and
talks to it from a script or the keyboard. control-host-sim plays the
control host: it runs a control plug-in against a simulated six-axis arm
through a scenario and writes a CSV log and plots. Example scenarios are in
/usr/share/robot-controller-addons/scenarios.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${ADDONS_NAME}-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libeigen3-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_RECOMMENDS "cmake, ${ADDONS_NAME}-sim")
set(CPACK_COMPONENT_DEV_DESCRIPTION "SDK for robot controller control plug-ins and modules
Headers and static libraries of the control framework (pose types, the host
interface, ControlModule, the command records) and of the module framework
(control queue, monitoring record, module base), the wire contracts of the
modules, and the CMake package RobotControllerAddons with
add_control_plugin(). Examples are in
/usr/share/doc/robot-controller-addons-dev/examples.")

include(CPack)
