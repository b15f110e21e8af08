# Adds registration actions and safe upgrade rules to a package built by wixl (which can neither
# run a program from a directory nor order actions among the standard ones):
#   cmake -DMSI=file.msi -DREGS=regs.txt [-DFILE_VERSION=a.b.c.d]
#         [-DFILE_VERSION_FROM=FileKey=path|... -DWINDRES=windres] -P QvSrvKitMsiActions.cmake
# regs.txt has one line per registered component:
#   Component|exe|FileKey|register arguments|unregister arguments   (runs the installed file)
#   Component|dir|DirProperty|register command|unregister command   (runs a command line)
# What it adds:
# - Registration runs when the component is installed (action state 3), unregistration when it
#   is removed (2), so a component two packages share is registered once and unregistered only
#   with its last user (Windows Installer counts the products using it).
# - Each action's rollback runs only where the action ran: a registration's rollback removes it
#   only when the component was not on the machine before (an upgrade's or another package's
#   stays); an unregistration's rollback registers again.
# - The old version goes after the new one is in (RemoveExistingProducts after InstallExecute):
#   a failed upgrade leaves the old version installed and registered.
# - A build of the same version replaces an installed one instead of installing beside it.
# - FILE_VERSION (the binaries' version resource) goes into the File table, which wixl leaves
#   empty: an upgrade then replaces only what changed, and leaves the same version's files be.
#   FILE_VERSION_FROM reads each listed file's own version resource instead (a file without
#   one stays unversioned): an unversioned package file never replaces a versioned one.
# Every action runs deferred, elevated (no impersonation); an install whose registration fails
# rolls back; removal goes on past a failing unregistration, and a rollback past a failing
# action of its own.
find_program(MSIBUILD msibuild REQUIRED)
find_program(MSIINFO msiinfo REQUIRED)

# Custom action types: 18 program in an installed file, 34 program run in a directory;
# +64 ignore the exit code, +1024 deferred, +256 rollback, +2048 no impersonation.
set(kind_exe 18)
set(kind_dir 34)
math(EXPR deferred "1024 + 2048")
math(EXPR rollback "1024 + 256 + 2048")
math(EXPR ignore "${deferred} + 64")

execute_process(COMMAND ${MSIINFO} export ${MSI} Component OUTPUT_VARIABLE components RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "msiinfo cannot read ${MSI}")
endif()
execute_process(COMMAND ${MSIINFO} tables ${MSI} OUTPUT_VARIABLE tables)
execute_process(COMMAND ${MSIINFO} export ${MSI} InstallExecuteSequence OUTPUT_VARIABLE sequence)
execute_process(COMMAND ${MSIINFO} export ${MSI} Upgrade OUTPUT_VARIABLE upgrade)

file(STRINGS ${REGS} lines)
set(queries)
if(NOT tables MATCHES "CompLocator")
  list(APPEND queries "CREATE TABLE `CompLocator` (`Signature_` CHAR(72) NOT NULL, `ComponentId` CHAR(38) NOT NULL, `Type` SHORT PRIMARY KEY `Signature_`)")
endif()
if(NOT tables MATCHES "AppSearch")
  list(APPEND queries "CREATE TABLE `AppSearch` (`Property` CHAR(72) NOT NULL, `Signature_` CHAR(72) NOT NULL PRIMARY KEY `Property`, `Signature_`)")
endif()
if(NOT sequence MATCHES "AppSearch")
  list(APPEND queries "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('AppSearch', 50)")
  list(APPEND queries "INSERT INTO `InstallUISequence` (`Action`, `Sequence`) VALUES ('AppSearch', 50)")
endif()
set(seq 0)
foreach(line IN LISTS lines)
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  endif()
  string(REPLACE "|" ";" f "${line}")
  list(GET f 0 comp)
  list(GET f 1 kind)
  list(GET f 2 source)
  list(GET f 3 reg)
  list(GET f 4 unreg)
  # The component's code: a property says whether any product has it installed already.
  if(NOT components MATCHES "(^|\n)${comp}\t(\\{[0-9A-Fa-f-]+\\})")
    message(FATAL_ERROR "${MSI} has no component ${comp}")
  endif()
  set(guid ${CMAKE_MATCH_2})
  string(TOUPPER "QV_HAVE_${comp}" present)
  list(APPEND queries
    "INSERT INTO `CompLocator` (`Signature_`, `ComponentId`, `Type`) VALUES ('${present}', '${guid}', 1)"
    "INSERT INTO `AppSearch` (`Property`, `Signature_`) VALUES ('${present}', '${present}')")
  set(t ${kind_${kind}})
  # name | type | target | condition | sequence: removal before RemoveFiles (3500), install after
  # InstallFiles (4000), each rollback action before its action.
  math(EXPR s1 "3400 + ${seq}")
  math(EXPR s2 "3401 + ${seq}")
  math(EXPR s3 "4010 + ${seq}")
  math(EXPR s4 "4011 + ${seq}")
  math(EXPR s5 "6070 + ${seq}")
  math(EXPR seq "${seq} + 2")
  # After an upgrade removed the old version, once more: an older package may unregister on
  # removal whatever its component's users (registration is idempotent).
  set(rows
    "QvReregister${comp}|${t}+${rollback}+64|${reg}|$${comp}=2|${s1}"
    "QvUnregister${comp}|${t}+${ignore}|${unreg}|$${comp}=2|${s2}"
    "QvUndoRegister${comp}|${t}+${rollback}+64|${unreg}|$${comp}=3 AND NOT ${present}|${s3}"
    "QvRegister${comp}|${t}+${deferred}|${reg}|$${comp}=3|${s4}"
    "QvRegisterAgain${comp}|${t}+${ignore}|${reg}|$${comp}=3 AND WIX_UPGRADE_DETECTED|${s5}")
  foreach(row IN LISTS rows)
    string(REPLACE "|" ";" r "${row}")
    list(GET r 0 name)
    list(GET r 1 type)
    list(GET r 2 target)
    list(GET r 3 cond)
    list(GET r 4 s)
    math(EXPR type "${type}")
    string(REPLACE "'" "''" target "${target}")
    list(APPEND queries
      "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('${name}', ${type}, '${source}', '${target}')"
      "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('${name}', '${cond}', ${s})")
  endforeach()
endforeach()

# The old version goes once the new one's files are in and registered (InstallExecute runs the
# script so far), before the new one is published: a failed registration leaves the old one
# as it was. (Wine's removal of the old version also drops the upgrade code's registration,
# so it must come before the new one publishes its own.)
if(NOT sequence MATCHES "InstallExecute\t")
  list(APPEND queries "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('InstallExecute', 6050)")
endif()
if(FILE_VERSION)
  list(APPEND queries "UPDATE `File` SET `Version` = '${FILE_VERSION}'")
endif()
if(FILE_VERSION_FROM)
  string(REPLACE "|" ";" files "${FILE_VERSION_FROM}")
  foreach(file IN LISTS files)
    if(NOT file MATCHES "^([^=]+)=(.+)$")
      file(REMOVE ${MSI})
      message(FATAL_ERROR "FILE_VERSION_FROM: \"${file}\" is not FileKey=path")
    endif()
    set(key ${CMAKE_MATCH_1})
    execute_process(COMMAND ${WINDRES} -J coff -O rc -i ${CMAKE_MATCH_2}
                    OUTPUT_VARIABLE rc ERROR_VARIABLE err RESULT_VARIABLE failed)
    if(rc MATCHES "FILEVERSION +([0-9]+), *([0-9]+), *([0-9]+), *([0-9]+)")
      list(APPEND queries "UPDATE `File` SET `Version` = '${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${CMAKE_MATCH_3}.${CMAKE_MATCH_4}' WHERE `File` = '${key}'")
    elseif(failed AND NOT err MATCHES "no resource section")
      # (a windres of the other width cannot read the file: it would pass as unversioned)
      file(REMOVE ${MSI})
      message(FATAL_ERROR "${WINDRES} cannot read the version of ${file}: ${err}")
    endif()
  endforeach()
endif()
list(APPEND queries "UPDATE `InstallExecuteSequence` SET `Sequence` = 6060 WHERE `Action` = 'RemoveExistingProducts'")
# The upgrade row (no minimum, maximum this version): include the maximum (0x200), so another
# build of the same version is removed, not installed beside. Attributes is part of the key:
# the row is replaced.
if(upgrade MATCHES "(\\{[0-9A-Fa-f-]+\\})\t\t([0-9.]+)\t\t([0-9]+)\t\tWIX_UPGRADE_DETECTED")
  set(code ${CMAKE_MATCH_1})
  set(max ${CMAKE_MATCH_2})
  math(EXPR attrs "${CMAKE_MATCH_3} | 512")
  list(APPEND queries
    "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'"
    "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES ('${code}', '${max}', ${attrs}, 'WIX_UPGRADE_DETECTED')")
else()
  file(REMOVE ${MSI})
  message(FATAL_ERROR "${MSI}: no upgrade row of the form this script edits (has wixl changed?)")
endif()
set(args)
foreach(q IN LISTS queries)
  list(APPEND args -q "${q}")
endforeach()
execute_process(COMMAND ${MSIBUILD} ${MSI} ${args} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  file(REMOVE ${MSI})
  message(FATAL_ERROR "msibuild failed on ${MSI}")
endif()
