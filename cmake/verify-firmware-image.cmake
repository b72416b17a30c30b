# Checks a firmware image before it is built into the panel.
#
#   cmake -DIMAGE=<path> -P cmake/verify-firmware-image.cmake
#
# Exits with status 0 and no output when the image is well formed; otherwise
# stops with message(FATAL_ERROR) naming the problem and the line (line 1 is
# the header). What is checked:
#
#   - the file is not empty and shorter than 1,048,575 bytes (the panel looks
#     for the end of the image in at most that many bytes);
#   - line 1 is the header: exactly 32 printable ASCII characters starting
#     with "ZF", then CR;
#   - lines end with a single CR: no LF (0x0A) anywhere, and a CR after the
#     last record too;
#   - no 0xFF byte (the panel takes it as the end of the image) and no other
#     byte but ':', upper-case hex digits and CR after the header;
#   - every other line is an Intel HEX record: ':' and upper-case hex digits,
#     an odd number of characters, at least 11, the byte count matching the
#     length (11 + 2 * count characters, so at most 521, well inside the
#     panel's 1,020-character limit), a record type 00 to 05 and a valid
#     checksum;
#   - the end-of-file record ":00000001FF" is the last line, and the only
#     type 01 record.
#
# How: the file is read once as hex (file(READ) in text mode drops a CR in
# front of an LF and at the end of the file, so it cannot be trusted here).
# One regex pass puts a blank after every byte ("3a 31 30 ..."), which makes
# plain string(REPLACE) byte-aligned: each allowed byte is replaced by its
# character, CR by ';'. Whatever is left with a blank after it is a byte that
# has no place in an image. The result is a list of record lines; each record
# then costs one regex match, one regex replace and a few math() calls.
# An image of about 3,000 lines takes a fraction of a second.
cmake_minimum_required(VERSION 3.20)

if(NOT DEFINED IMAGE OR IMAGE STREQUAL "")
  message(FATAL_ERROR "verify-firmware-image: no image given; use -DIMAGE=<path>")
endif()

function(_fw_fail text)
  message(FATAL_ERROR "firmware image ${IMAGE}: ${text}")
endfunction()

# Names the byte whose two lower-case hex digits are BYTE.
function(_fw_describe byte out)
  string(TOUPPER "${byte}" byte)
  if(byte STREQUAL "0A")
    set(d "a line feed (LF, 0x0A): lines must end with a single CR and no LF (CR LF line ends?)")
  elseif(byte STREQUAL "0D")
    set(d "a carriage return (CR, 0x0D)")
  elseif(byte STREQUAL "FF")
    set(d "a 0xFF byte: the panel would take it as the end of the image")
  elseif(byte STREQUAL "00")
    set(d "a NUL byte (0x00)")
  elseif(byte MATCHES "^[2-7][0-9A-F]$" AND NOT byte STREQUAL "7F")
    math(EXPR code "0x${byte}")
    string(ASCII ${code} char)
    set(d "the character '${char}' (0x${byte})")
  else()
    set(d "the byte 0x${byte}")
  endif()
  set(${out} "${d}" PARENT_SCOPE)
endfunction()

if(NOT EXISTS "${IMAGE}" OR IS_DIRECTORY "${IMAGE}")
  _fw_fail("no such file")
endif()

# --- Size ---------------------------------------------------------------------
file(SIZE "${IMAGE}" size)
if(size EQUAL 0)
  _fw_fail("the file is empty")
endif()
if(size GREATER_EQUAL 1048575)
  _fw_fail("${size} bytes; an image must be shorter than 1,048,575 bytes")
endif()

file(READ "${IMAGE}" hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR readSize "${hexLength} / 2")
if(NOT readSize EQUAL size)
  _fw_fail("read ${readSize} of ${size} bytes")
endif()

# --- Header (line 1) ----------------------------------------------------------
string(SUBSTRING "${hex}" 0 66 headerHex)
string(REGEX MATCHALL ".." headerBytes "${headerHex}")
set(column 0)
foreach(byte IN LISTS headerBytes)
  if(column EQUAL 32)
    break()
  endif()
  if(byte STREQUAL "0d")
    _fw_fail("line 1: the header is ${column} characters long; it must be exactly 32 characters, then CR")
  endif()
  math(EXPR column "${column} + 1")
  if(NOT byte MATCHES "^[2-7][0-9a-f]$" OR byte STREQUAL "7f")
    _fw_describe(${byte} d)
    _fw_fail("line 1, column ${column}: ${d} in the header; it must be 32 printable ASCII characters")
  endif()
endforeach()
if(size LESS 33)
  _fw_fail("line 1: the file ends after ${size} bytes; it must begin with the 32-character header and CR")
endif()
set(headerCodes "")
foreach(byte IN LISTS headerBytes)
  math(EXPR code "0x${byte}")
  list(APPEND headerCodes ${code})
endforeach()
list(SUBLIST headerCodes 0 32 headerCodes)
string(ASCII ${headerCodes} header)
if(NOT header MATCHES "^ZF")
  _fw_fail("line 1: the header \"${header}\" does not start with \"ZF\"")
endif()
list(GET headerBytes 32 afterHeader)
if(NOT afterHeader STREQUAL "0d")
  _fw_describe(${afterHeader} d)
  _fw_fail("line 1: the header must be exactly 32 characters followed by CR; character 33 is ${d}")
endif()

# --- Records (line 2 on): bytes to characters, CR to ';' ----------------------
if(size EQUAL 33)
  _fw_fail("no records after the header")
endif()
string(SUBSTRING "${hex}" 66 -1 recordHex)
string(REGEX REPLACE "(..)" "\\1 " text "${recordHex}")
foreach(pair IN ITEMS 30:0 31:1 32:2 33:3 34:4 35:5 36:6 37:7 38:8 39:9
                      41:A 42:B 43:C 44:D 45:E 46:F)
  string(SUBSTRING "${pair}" 0 2 byte)
  string(SUBSTRING "${pair}" 3 1 char)
  string(REPLACE "${byte} " "${char}" text "${text}")
endforeach()
string(REPLACE "3a " ":" text "${text}")
string(REPLACE "0d " ";" text "${text}")

# Any blank left ends a byte that was not replaced; every byte before it is one
# character now, so its position is its offset from the first record.
string(FIND "${text}" " " blank)
if(NOT blank EQUAL -1)
  math(EXPR pos "${blank} - 2")
  string(SUBSTRING "${text}" ${pos} 2 byte)
  string(SUBSTRING "${text}" 0 ${pos} before)
  string(REGEX REPLACE "[^;]" "" crs "${before}")
  string(LENGTH "${crs}" lineNumber)
  math(EXPR lineNumber "${lineNumber} + 2")
  string(FIND "${before}" ";" lastCr REVERSE)
  math(EXPR column "${pos} - ${lastCr}")
  math(EXPR offset "${pos} + 33")
  _fw_describe(${byte} d)
  _fw_fail("line ${lineNumber}, column ${column} (byte offset ${offset}): ${d}; records hold only ':' and upper-case hex digits, each line ended by CR")
endif()

string(FIND "${text}" ";" lastCr REVERSE)
string(LENGTH "${text}" textLength)
math(EXPR afterLastCr "${lastCr} + 1")
if(NOT afterLastCr EQUAL textLength)
  string(REGEX REPLACE "[^;]" "" crs "${text}")
  string(LENGTH "${crs}" lineNumber)
  math(EXPR lineNumber "${lineNumber} + 2")
  string(SUBSTRING "${text}" ${afterLastCr} 40 lastLine)
  _fw_fail("line ${lineNumber} (\"${lastLine}\", the last line) is not followed by CR; every line, the last one too, must end with CR")
endif()

string(SUBSTRING "${text}" 0 ${lastCr} records)
# Only ':', hex digits and ';' are left, so this is a clean list, empty lines
# included.
list(LENGTH records recordCount)
math(EXPR lastLine "${recordCount} + 1")

# --- Each record --------------------------------------------------------------
set(lineNumber 1)
foreach(rec IN LISTS records)
  math(EXPR lineNumber "${lineNumber} + 1")
  if(NOT rec MATCHES "^:[0-9A-F]*$")
    if(rec STREQUAL "")
      _fw_fail("line ${lineNumber}: empty line")
    endif()
    _fw_fail("line ${lineNumber}: \"${rec}\" is not a record: it must be one ':' followed by upper-case hex digits")
  endif()
  string(LENGTH "${rec}" length)
  math(EXPR parity "${length} % 2")
  if(length LESS 11 OR parity EQUAL 0)
    _fw_fail("line ${lineNumber}: \"${rec}\" has ${length} characters; a record has an odd number of at least 11 (':' and whole bytes)")
  endif()
  string(SUBSTRING "${rec}" 1 2 count)
  math(EXPR expected "11 + 2 * 0x${count}")
  if(NOT length EQUAL expected)
    math(EXPR countDec "0x${count}")
    _fw_fail("line ${lineNumber}: byte count ${count} (${countDec} data bytes) means a record of ${expected} characters, but it has ${length}")
  endif()
  string(SUBSTRING "${rec}" 7 2 type)
  if(NOT type MATCHES "^0[0-5]$")
    _fw_fail("line ${lineNumber}: unknown record type ${type} in \"${rec}\"")
  endif()
  string(SUBSTRING "${rec}" 1 -1 body)
  string(REGEX REPLACE "(..)" "+0x\\1" sum "${body}")
  math(EXPR sum "(0${sum}) % 256")
  if(NOT sum EQUAL 0)
    math(EXPR checksumAt "${length} - 2")
    string(SUBSTRING "${rec}" ${checksumAt} 2 checksum)
    math(EXPR right "(0x${checksum} - ${sum} + 256) % 256 + 256" OUTPUT_FORMAT HEXADECIMAL)
    string(SUBSTRING "${right}" 3 2 right) # 0x1HH -> HH
    string(TOUPPER "${right}" right)
    _fw_fail("line ${lineNumber}: bad checksum ${checksum} in \"${rec}\"; it should be ${right}")
  endif()
  if(type STREQUAL "01" AND NOT lineNumber EQUAL lastLine)
    _fw_fail("line ${lineNumber}: end-of-file record \"${rec}\" before the last line (line ${lastLine}); it must be the last line")
  endif()
endforeach()

list(GET records -1 last)
if(NOT last STREQUAL ":00000001FF")
  _fw_fail("line ${lastLine}: the last line is \"${last}\", not the end-of-file record \":00000001FF\"")
endif()
