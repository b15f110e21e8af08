# Adds the registration actions to a redistributable built by wixl (which can neither run a
# program from a directory nor order actions among the standard ones):
#   cmake -DMSI=file.msi -DARCH=x86|x64 -P msi_actions.cmake
# The package registers by running the components' own registration (regsvr32 on the
# proxy/stub, QvOpcEnum.exe --regserver), so it writes exactly what those write, takes over
# nothing another product registered, and on removal takes away only what is ours.
# Every action runs deferred, elevated (no impersonation); an install whose registration
# fails rolls back; removal goes on past a failing unregistration.
find_program(MSIBUILD msibuild REQUIRED)

# Custom action types: 18 program in an installed file, 34 program run in a directory;
# +64 ignore the exit code, +1024 deferred, +256 rollback, +2048 no impersonation.
set(exe 18)
set(dir 34)
math(EXPR deferred "1024 + 2048")
math(EXPR rollback "1024 + 256 + 2048 + 64")
math(EXPR ignore "${deferred} + 64")
if(ARCH STREQUAL "x64")
  set(regsvr "[System64Folder]regsvr32.exe")
else()
  set(regsvr "[SystemFolder]regsvr32.exe")
endif()

# name | type | source | target | condition | sequence
set(rows
  # Removal, before the files go (RemoveFiles is 3500).
  "UnregisterBrowser|${exe}+${ignore}|QvOpcEnum.exe|--unregserver|REMOVE~=\"ALL\"|3400"
  "UnregisterProxy|${dir}+${ignore}|INSTALLDIR|\"${regsvr}\" /s /u \"[#QvSrvKitPS.dll]\"|REMOVE~=\"ALL\"|3410"
  # Install, after the files are in place (InstallFiles is 4000); each rollback action first.
  "RollbackProxy|${dir}+${rollback}|INSTALLDIR|\"${regsvr}\" /s /u \"[#QvSrvKitPS.dll]\"|NOT REMOVE~=\"ALL\"|4010"
  "RegisterProxy|${dir}+${deferred}|INSTALLDIR|\"${regsvr}\" /s \"[#QvSrvKitPS.dll]\"|NOT REMOVE~=\"ALL\"|4011"
  "RollbackBrowser|${exe}+${rollback}|QvOpcEnum.exe|--unregserver|NOT REMOVE~=\"ALL\"|4020"
  "RegisterBrowser|${exe}+${deferred}|QvOpcEnum.exe|--regserver|NOT REMOVE~=\"ALL\"|4021")
if(ARCH STREQUAL "x64")
  # The 32-bit proxy/stub, with the 32-bit regsvr32 (SystemFolder is SysWOW64 in a 64-bit package).
  list(APPEND rows
    "UnregisterProxy32|${dir}+${ignore}|INSTALLDIR|\"[SystemFolder]regsvr32.exe\" /s /u \"[#QvSrvKitPS32.dll]\"|REMOVE~=\"ALL\"|3420"
    "RollbackProxy32|${dir}+${rollback}|INSTALLDIR|\"[SystemFolder]regsvr32.exe\" /s /u \"[#QvSrvKitPS32.dll]\"|NOT REMOVE~=\"ALL\"|4030"
    "RegisterProxy32|${dir}+${deferred}|INSTALLDIR|\"[SystemFolder]regsvr32.exe\" /s \"[#QvSrvKitPS32.dll]\"|NOT REMOVE~=\"ALL\"|4031")
endif()

# An upgrade removes the old version completely (its unregistration included) before the new
# one installs and registers: right after InstallValidate (1400).
set(queries "UPDATE `InstallExecuteSequence` SET `Sequence` = 1450 WHERE `Action` = 'RemoveExistingProducts'")
foreach(row IN LISTS rows)
  string(REPLACE "|" ";" f "${row}")
  list(GET f 0 name)
  list(GET f 1 type)
  list(GET f 2 source)
  list(GET f 3 target)
  list(GET f 4 cond)
  list(GET f 5 seq)
  math(EXPR type "${type}")
  list(APPEND queries
    "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('${name}', ${type}, '${source}', '${target}')"
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('${name}', '${cond}', ${seq})")
endforeach()
set(args)
foreach(q IN LISTS queries)
  list(APPEND args -q "${q}")
endforeach()
execute_process(COMMAND ${MSIBUILD} ${MSI} ${args} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  file(REMOVE ${MSI})
  message(FATAL_ERROR "msibuild failed on ${MSI}")
endif()
