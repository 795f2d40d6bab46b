# Signs an executable right after it is linked, when QUARVANE_SIGN_CERT and
# QUARVANE_SIGN_KEY name a PEM certificate and its (unencrypted) PEM private
# key: an Authenticode signature with SHA-256 digests, made by osslsigncode.
# With neither set the file stays unsigned, and this says so.
#
#   cmake -DEXECUTABLE=<file> -DOSSLSIGNCODE=<program> -P sign_executable.cmake
#
# Any other setting stops the build, and the unsigned file is removed, so
# that the next build links and signs it again rather than taking it as done.

set(cert "$ENV{QUARVANE_SIGN_CERT}")
set(key "$ENV{QUARVANE_SIGN_KEY}")
get_filename_component(name "${EXECUTABLE}" NAME)

if(cert STREQUAL "" AND key STREQUAL "")
  message(STATUS "${name} is not signed: set QUARVANE_SIGN_CERT and QUARVANE_SIGN_KEY to sign it")
  return()
endif()

function(refuse why)
  file(REMOVE "${EXECUTABLE}")
  message(FATAL_ERROR "Cannot sign ${name}: ${why}")
endfunction()

if(cert STREQUAL "")
  refuse("QUARVANE_SIGN_KEY is set but QUARVANE_SIGN_CERT is not; set both, or neither")
elseif(key STREQUAL "")
  refuse("QUARVANE_SIGN_CERT is set but QUARVANE_SIGN_KEY is not; set both, or neither")
endif()
foreach(variable QUARVANE_SIGN_CERT QUARVANE_SIGN_KEY)
  set(file "$ENV{${variable}}")
  execute_process(COMMAND test -f "${file}" -a -r "${file}" RESULT_VARIABLE unreadable)
  if(unreadable)
    refuse("${variable} names ${file}, which is not a file that can be read")
  endif()
endforeach()
if(NOT OSSLSIGNCODE)
  refuse("osslsigncode is not installed (Debian package osslsigncode)")
endif()

execute_process(
  COMMAND "${OSSLSIGNCODE}" sign -certs "${cert}" -key "${key}" -h sha256 -n Quarvane
          -in "${EXECUTABLE}" -out "${EXECUTABLE}.signed"
  RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(failed)
  file(REMOVE "${EXECUTABLE}.signed")
  refuse("osslsigncode failed:\n${output}")
endif()
file(RENAME "${EXECUTABLE}.signed" "${EXECUTABLE}")
message(STATUS "${name} is signed with ${cert}")
