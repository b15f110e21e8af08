# qvsrvkit_add_msi: a Windows Installer package for a host built on QvSrvKit, made with Debian's
# msitools (wixl, msibuild). Part of the QvSrvKit CMake package (find_package(QvSrvKit) includes
# it) and of the QvSrvKit build itself.
#
#   qvsrvkit_add_msi(<host target>
#     UPGRADE_CODE <guid>        one per product, the same for all its versions
#     [VERSION <x.y.z>]          the product's version; default: the project's version
#     [PRODUCT <name>]           default: the target's name; also the folder in Program Files
#     [MANUFACTURER <name>]      default: the product
#     [SERVICE <name>]           also an NT service: Windows Installer creates and removes it,
#                                and registration runs "<host> --regserver --service <name>"
#     [OUTPUT <file.msi>])       default: <build dir>/<target>-<version>-<x86|x64>.msi
#
# The package installs the host and QvSrvKit.dll (stripped) into Program Files\<product>, runs
# "<host> --regserver" when it installs the host and "<host> --unregserver" when it removes it
# (deferred, elevated, with rollback; see QvSrvKitMsiActions.cmake), upgrades the previous
# version in place (a failed upgrade leaves it installed), and refuses to install, naming it,
# unless the QvSrvKit Redistributable of the same architecture is installed, for a 32-bit host
# also the x64 one (the proxy/stub clients need; wixl cannot make a merge module to carry it
# inside). Each file's version in the package is its own version resource (the host without
# one is unversioned), so an upgrade replaces what is newer. The target is
# <host target>_msi, built with "all". The package source is QvSrvKitHost.wxs.in beside this
# file; set QVSRVKIT_MSI_TEMPLATE to a copy of your own to add to it.
set(_QVSRVKIT_MSI_DIR ${CMAKE_CURRENT_LIST_DIR})

# Text for an XML attribute of the package source.
function(_qvsrvkit_xml out text)
  string(REPLACE "&" "&amp;" text "${text}")
  string(REPLACE "<" "&lt;" text "${text}")
  string(REPLACE ">" "&gt;" text "${text}")
  string(REPLACE "\"" "&quot;" text "${text}")
  string(REPLACE "'" "&apos;" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(qvsrvkit_add_msi target)
  cmake_parse_arguments(A "" "UPGRADE_CODE;VERSION;PRODUCT;MANUFACTURER;SERVICE;OUTPUT" "" ${ARGN})
  set(_h "[0-9A-Fa-f]")
  set(_h4 "${_h}${_h}${_h}${_h}")
  if(NOT A_UPGRADE_CODE MATCHES "^${_h4}${_h4}-${_h4}-${_h4}-${_h4}-${_h4}${_h4}${_h4}$")
    message(FATAL_ERROR "qvsrvkit_add_msi(${target}): UPGRADE_CODE must be a GUID (xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx)")
  endif()
  find_program(QVSRVKIT_WIXL wixl)
  if(NOT QVSRVKIT_WIXL)
    message(WARNING "qvsrvkit_add_msi(${target}): wixl not found (Debian: apt-get install wixl msitools); no package")
    return()
  endif()
  if(TARGET QvSrvKit::QvSrvKit)
    set(_lib QvSrvKit::QvSrvKit)
  else()
    set(_lib QvSrvKit)
  endif()
  if(NOT A_VERSION)
    set(A_VERSION ${PROJECT_VERSION})
  endif()
  if(NOT A_VERSION MATCHES "^[0-9]+\\.[0-9]+(\\.[0-9]+)?$")
    message(FATAL_ERROR "qvsrvkit_add_msi(${target}): VERSION must be x.y or x.y.z (got \"${A_VERSION}\")")
  endif()
  if(NOT A_PRODUCT)
    set(A_PRODUCT ${target})
  endif()
  if(NOT A_MANUFACTURER)
    set(A_MANUFACTURER ${A_PRODUCT})
  endif()
  # The redistributable this QvSrvKit belongs to (its upgrade codes never change).
  if(QvSrvKit_VERSION)
    set(QV_REDIST_VERSION ${QvSrvKit_VERSION})
  else()
    set(QV_REDIST_VERSION ${PROJECT_VERSION})
  endif()
  set(_x64_code E080E097-59FE-4700-9D0A-94B2D5EC3D5D)
  set(QV_REDIST_OTHER "")
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(QV_ARCH x64)
    set(QV_WIN64 yes)
    set(QV_PROGRAMFILES ProgramFiles64Folder)
    set(QV_REDIST_UPGRADE_CODE ${_x64_code})
    set(QV_REDIST_NEEDED "QvSrvKit-Redist-x64-${QV_REDIST_VERSION}.msi")
  else()
    set(QV_ARCH x86)
    set(QV_WIN64 no)
    set(QV_PROGRAMFILES ProgramFilesFolder)
    set(QV_REDIST_UPGRADE_CODE 04CE749A-B6B2-4B60-8607-E6D3C6BDCBCD)
    # On 64-bit Windows the x64 redistributable serves 32-bit hosts too (it has the 32-bit
    # proxy/stub): either one will do.
    set(QV_REDIST_OTHER "    <Upgrade Id=\"${_x64_code}\">
      <UpgradeVersion OnlyDetect=\"yes\" Minimum=\"${QV_REDIST_VERSION}\" IncludeMinimum=\"yes\" Property=\"QVSRVKIT_REDIST\"/>
    </Upgrade>")
    set(QV_REDIST_NEEDED "QvSrvKit-Redist-x86-${QV_REDIST_VERSION}.msi (or on 64-bit Windows QvSrvKit-Redist-x64-${QV_REDIST_VERSION}.msi)")
  endif()
  if(NOT A_OUTPUT)
    set(A_OUTPUT ${CMAKE_BINARY_DIR}/${target}-${A_VERSION}-${QV_ARCH}.msi)
  endif()
  _qvsrvkit_xml(QV_PRODUCT "${A_PRODUCT}")
  _qvsrvkit_xml(QV_MANUFACTURER "${A_MANUFACTURER}")
  set(QV_VERSION ${A_VERSION})
  set(QV_UPGRADE_CODE ${A_UPGRADE_CODE})
  string(REGEX REPLACE "[<>:\"/\\\\|?*]" "_" _dir "${A_PRODUCT}")
  _qvsrvkit_xml(QV_INSTALL_DIR "${_dir}")
  set(QV_HOST_FILE "$<TARGET_FILE_NAME:${target}>")
  get_target_property(_host_name ${target} OUTPUT_NAME)
  if(NOT _host_name)
    set(_host_name ${target})
  endif()
  # Component codes stay the same for every version of the product (upgrades and reference
  # counting depend on it): derived from its upgrade code and the file's path (a file moved
  # or renamed is another component). Keep PRODUCT and the host's name across versions.
  string(TOLOWER "${_dir}/QvSrvKit.dll" _toolkit_path)
  string(TOLOWER "${_dir}/${_host_name}${CMAKE_EXECUTABLE_SUFFIX}" _host_path)
  string(UUID QV_GUID_TOOLKIT NAMESPACE ${A_UPGRADE_CODE} NAME "${_toolkit_path}" TYPE SHA1 UPPER)
  string(UUID QV_GUID_HOST NAMESPACE ${A_UPGRADE_CODE} NAME "${_host_path}" TYPE SHA1 UPPER)
  set(QV_SERVICE "")
  set(_reg "--regserver")
  if(A_SERVICE)
    _qvsrvkit_xml(_service "${A_SERVICE}")
    set(QV_SERVICE "            <ServiceInstall Id=\"HostService\" Name=\"${_service}\" DisplayName=\"${QV_PRODUCT}\" Type=\"ownProcess\"
                            Start=\"demand\" ErrorControl=\"normal\" Arguments=\"-Service\"/>
            <ServiceControl Id=\"HostService\" Name=\"${_service}\" Stop=\"both\" Remove=\"uninstall\" Wait=\"yes\"/>")
    string(APPEND _reg " --service ${A_SERVICE}")
  endif()

  set(_template ${_QVSRVKIT_MSI_DIR}/QvSrvKitHost.wxs.in)
  if(QVSRVKIT_MSI_TEMPLATE)
    set(_template ${QVSRVKIT_MSI_TEMPLATE})
  endif()
  set(_stage ${CMAKE_CURRENT_BINARY_DIR}/${target}-msi)
  file(READ ${_template} _wxs)
  string(CONFIGURE "${_wxs}" _wxs @ONLY)
  file(GENERATE OUTPUT ${_stage}/host.wxs CONTENT "${_wxs}")
  file(WRITE ${_stage}/regs.txt "Host|exe|Host|${_reg}|--unregserver\n")

  if(NOT CMAKE_RC_COMPILER)
    message(FATAL_ERROR "qvsrvkit_add_msi(${target}): no resource compiler (windres) to read the files' versions; use QvSrvKit's toolchain file")
  endif()
  if(CMAKE_OBJCOPY)
    set(_copy ${CMAKE_OBJCOPY} --strip-all)
  else()
    set(_copy ${CMAKE_COMMAND} -E copy)
  endif()
  add_custom_command(OUTPUT ${A_OUTPUT}
    COMMAND ${_copy} $<TARGET_FILE:${target}> ${_stage}/$<TARGET_FILE_NAME:${target}>
    COMMAND ${_copy} $<TARGET_FILE:${_lib}> ${_stage}/QvSrvKit.dll
    COMMAND ${QVSRVKIT_WIXL} -a ${QV_ARCH} -o ${A_OUTPUT} ${_stage}/host.wxs
    COMMAND ${CMAKE_COMMAND} -DMSI=${A_OUTPUT} -DREGS=${_stage}/regs.txt -DWINDRES=${CMAKE_RC_COMPILER}
            "-DFILE_VERSION_FROM=QvSrvKit.dll=${_stage}/QvSrvKit.dll|Host=${_stage}/$<TARGET_FILE_NAME:${target}>"
            -P ${_QVSRVKIT_MSI_DIR}/QvSrvKitMsiActions.cmake
    WORKING_DIRECTORY ${_stage}
    DEPENDS ${target} $<TARGET_FILE:${_lib}> ${_template} ${_stage}/regs.txt ${_QVSRVKIT_MSI_DIR}/QvSrvKitMsiActions.cmake
    COMMENT "wixl ${A_OUTPUT}"
    VERBATIM)
  add_custom_target(${target}_msi ALL DEPENDS ${A_OUTPUT})
  set(${target}_MSI ${A_OUTPUT} PARENT_SCOPE)
endfunction()
