# Version resources and stripped installs for the shipped binaries.

# qv_version_resource(target "description"): a VERSIONINFO (product QvSrvKit, the project's
# version) compiled into the target.
function(qv_version_resource target description)
  get_target_property(_type ${target} TYPE)
  get_target_property(_name ${target} OUTPUT_NAME)
  if(NOT _name)
    set(_name ${target})
  endif()
  set(QV_RC_NAME ${_name})
  set(QV_RC_DESCRIPTION "${description}")
  if(_type STREQUAL "EXECUTABLE")
    set(QV_RC_TYPE VFT_APP)
    set(QV_RC_FILE ${_name}.exe)
  else()
    set(QV_RC_TYPE VFT_DLL)
    set(QV_RC_FILE ${_name}.dll)
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${PROJECT_BINARY_DIR}/version/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${PROJECT_BINARY_DIR}/version/${target}.rc)
endfunction()

# qv_strip_installed(DESTINATION dir FILES name...): after installing, each file is stripped and
# its symbols go to dir/.debug/<name>.debug, which the file names by a debug link (gdb looks
# there). Off with -DQV_INSTALL_STRIP=OFF.
function(qv_strip_installed)
  cmake_parse_arguments(A "" "DESTINATION" "FILES" ${ARGN})
  if(NOT QV_INSTALL_STRIP)
    return()
  endif()
  if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "QV_INSTALL_STRIP needs objcopy (CMAKE_OBJCOPY)")
  endif()
  foreach(_f IN LISTS A_FILES)
    install(CODE "
      set(_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${A_DESTINATION}\")
      file(MAKE_DIRECTORY \"\${_dir}/.debug\")
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --only-keep-debug \"${_f}\" \".debug/${_f}.debug\"
                      WORKING_DIRECTORY \"\${_dir}\" RESULT_VARIABLE _rc)
      if(NOT _rc EQUAL 0)
        message(FATAL_ERROR \"objcopy --only-keep-debug ${_f} failed\")
      endif()
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --strip-all \"--add-gnu-debuglink=.debug/${_f}.debug\" \"${_f}\"
                      WORKING_DIRECTORY \"\${_dir}\" RESULT_VARIABLE _rc)
      if(NOT _rc EQUAL 0)
        message(FATAL_ERROR \"objcopy --strip-all ${_f} failed\")
      endif()
      message(STATUS \"Stripped: \${_dir}/${_f} (symbols in .debug/${_f}.debug)\")
    ")
  endforeach()
endfunction()
