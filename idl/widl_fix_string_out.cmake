# Repairs widl's proxy code for [out] and [in, out] LPWSTR* parameters (GetErrorString, GetItemID,
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
  # Out and in-out parameters ("must free, out" / "must free, in, out") that point at the pointee.
  set(pattern "(/\\* flags: [^\n]*must free, (in, )?out[^\n]*\\*/\n[^\n]*\n[ \t]*NdrFcShort\\()0x[0-9a-fA-F]+(\\),[ \t]*/\\* type offset = )${pointee}( \\*/)")
  string(REGEX MATCHALL "${pattern}" hits "${text}")
  list(LENGTH hits n)
  if(n GREATER 0)
    string(REGEX REPLACE "${pattern}" "\\1${refHex}\\3${ref}\\4" text "${text}")
    math(EXPR fixed "${fixed} + ${n}")
  endif()
endforeach()
message(STATUS "${FILE}: ${fixed} [out] LPWSTR* parameter(s) repointed")

# Second repair, 32-bit only (on 64-bit every struct with a pointer is complex and unaffected):
# widl flattens the pointer of the embedded OPCITEMPROPERTIES into the pointer layout of
# OPCBROWSEELEMENT but keeps the size_is offset relative to OPCITEMPROPERTIES (4), so the
# engine reads the property count 16 bytes too early. Appends a copy of the property array
# description whose count offset is 20 and points the browse element's entries at it.
string(REGEX MATCH "/\\* ([0-9]+) \\(OPCBROWSEELEMENT\\) \\*/\n[ \t]*0x16," pstruct "${text}")
string(REGEX MATCH "/\\* ([0-9]+) \\(OPCITEMPROPERTY \\*\\) \\*/\n[ \t]*0x21,[^\n]*\n[^\n]*\n[^\n]*\n[^\n]*\n[^\n]*\n[ \t]*NdrFcShort\\(0x4\\),[^\n]*\n[^\n]*\n[^\n]*\n[^\n]*\n[ \t]*NdrFcShort\\(0x[0-9a-f]+\\),[ \t]*/\\* Offset= -?[0-9]+ \\(([0-9]+)\\) \\*/" arr "${text}")
if(pstruct AND arr)
  set(array ${CMAKE_MATCH_1})
  set(elem ${CMAKE_MATCH_2})
  string(REGEX MATCH "#define TYPE_FORMAT_STRING_SIZE ([0-9]+)" m "${text}")
  set(size ${CMAKE_MATCH_1})
  math(EXPR new "${size} - 1") # the copy replaces the final 0 and one is added after it
  math(EXPR embedded "${elem} - (${new} + 14)")
  math(EXPR embeddedHex "${embedded} & 0xffff" OUTPUT_FORMAT HEXADECIMAL)
  math(EXPR newSize "${size} + 18")
  set(copy "/* ${new} (OPCITEMPROPERTY * in OPCBROWSEELEMENT) */\n        0x21, 0x7, NdrFcShort(0x0), 0x19, 0x0, NdrFcShort(0x14), NdrFcLong(0xffffffff),\n        0x4c, 0x0, NdrFcShort(${embeddedHex}), 0x5c, 0x5b,")
  # The type format string ends with "0x0\n    }\n};" right before the proxy vtable list.
  string(REGEX REPLACE "(\n[ \t]*0x0\n    }\n};\n\nstatic const CInterfaceProxyVtbl)" "\n${copy}\\1" text "${text}")
  string(REPLACE "#define TYPE_FORMAT_STRING_SIZE ${size}" "#define TYPE_FORMAT_STRING_SIZE ${newSize}" text "${text}")
  # Entries "Memory offset = 24 ... FC_UP ... Offset= X (array)" inside the browse element
  # descriptions (the only ones with a pointer at 24 to the property array).
  string(REGEX MATCHALL "NdrFcShort\\(0x18\\),[^\n]*Memory offset = 24[^\n]*\n[^\n]*\n[ \t]*0x12, 0x0,[^\n]*\n[ \t]*NdrFcShort\\(0x[0-9a-f]+\\),[ \t]*/\\* Offset= -?[0-9]+ \\(${array}\\) \\*/" hits "${text}")
  set(n 0)
  foreach(h IN LISTS hits)
    string(REGEX REPLACE ".*Offset= (-?[0-9]+) \\(${array}\\) \\*/$" "\\1" off "${h}")
    math(EXPR pos "${array} - (${off})")
    math(EXPR rel "${new} - ${pos}")
    math(EXPR relHex "${rel}" OUTPUT_FORMAT HEXADECIMAL)
    string(REGEX REPLACE "NdrFcShort\\(0x[0-9a-f]+\\),([ \t]*/\\* Offset= )-?[0-9]+ \\(${array}\\) \\*/$" "NdrFcShort(${relHex}),\\1${rel} (${new}) */" fixedHit "${h}")
    string(REPLACE "${h}" "${fixedHit}" text "${text}")
    math(EXPR n "${n} + 1")
  endforeach()
  math(EXPR fixed "${fixed} + ${n}")
  message(STATUS "${FILE}: ${n} browse element property pointer(s) repointed")
endif()
if(fixed GREATER 0)
  file(WRITE ${FILE} "${text}")
endif()
