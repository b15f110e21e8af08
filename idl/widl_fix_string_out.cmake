# Repairs widl's proxy code for [out] LPWSTR* parameters (GetErrorString, GetItemID,
# GetState's name, GetQualifiedAreaName, ...).
#
# widl 7.0/8.0 gives such a parameter the type offset of the string pointer (FC_OP) instead of
# the reference pointer to it (FC_RP [allocated_on_stack] [pointer_deref]) that precedes it.
# The NDR engine then marshals the wrong level and the client receives NULL. The wire format
# of the corrected code is the one the OPC standard's IDL describes.
#
#   cmake -DFILE=<name>_p.c -P widl_fix_string_out.cmake
if(NOT FILE)
  message(FATAL_ERROR "FILE not set")
endif()
file(READ ${FILE} text)

# Every "/* N (LPWSTR *) */ FC_RP [allocated_on_stack] [pointer_deref] -> M" entry.
string(REGEX MATCHALL
  "/\\* [0-9]+ \\(LPWSTR \\*\\) \\*/\n[ \t]*0x11, 0x14,[^\n]*\n[ \t]*NdrFcShort\\(0x2\\),[^\n]*\\([0-9]+\\) \\*/"
  entries "${text}")
set(fixed 0)
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^/\\* ([0-9]+) .*" "\\1" ref "${entry}")
  string(REGEX REPLACE ".*\\(([0-9]+)\\) \\*/$" "\\1" pointee "${entry}")
  math(EXPR refHex "${ref}" OUTPUT_FORMAT HEXADECIMAL)
  # Out-only parameters ("must free, out": no "in") that point at the pointee.
  set(pattern "(/\\* flags: [^\n]*must free, out[^\n]*\\*/\n[^\n]*\n[ \t]*NdrFcShort\\()0x[0-9a-fA-F]+(\\),[ \t]*/\\* type offset = )${pointee}( \\*/)")
  string(REGEX MATCHALL "${pattern}" hits "${text}")
  list(LENGTH hits n)
  if(n GREATER 0)
    string(REGEX REPLACE "${pattern}" "\\1${refHex}\\2${ref}\\3" text "${text}")
    math(EXPR fixed "${fixed} + ${n}")
  endif()
endforeach()
if(fixed GREATER 0)
  file(WRITE ${FILE} "${text}")
endif()
message(STATUS "${FILE}: ${fixed} [out] LPWSTR* parameter(s) repointed")
