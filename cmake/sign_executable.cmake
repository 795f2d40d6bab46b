# Signs an executable right after it is linked, when QUARVANE_SIGN_CERT and
# QUARVANE_SIGN_KEY name a PEM certificate and its (unencrypted) PEM private
# key: an Authenticode signature with SHA-256 digests, made by osslsigncode.
# With neither set the file stays unsigned, and this says so. A signed build
# also writes the certificate's thumbprint (its SHA-1, upper-case hex, as
# Windows shows it) to THUMBPRINT, a file kept out of the package, for the
# team to publish apart from it; an unsigned build removes that file.
#
#   cmake -DEXECUTABLE=<file> -DTHUMBPRINT=<file> -DOSSLSIGNCODE=<program>
#         -DOPENSSL=<program> -P sign_executable.cmake
#
# Any other setting stops the build, and the unsigned file is removed, so
# that the next build links and signs it again rather than taking it as done.

set(cert "$ENV{QUARVANE_SIGN_CERT}")
set(key "$ENV{QUARVANE_SIGN_KEY}")
get_filename_component(name "${EXECUTABLE}" NAME)

file(REMOVE "${THUMBPRINT}")
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
elseif(NOT OPENSSL)
  refuse("openssl is not installed (Debian package openssl)")
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
execute_process(
  COMMAND "${OPENSSL}" x509 -in "${cert}" -noout -fingerprint -sha1
  RESULT_VARIABLE failed OUTPUT_VARIABLE fingerprint ERROR_VARIABLE fingerprint)
if(failed OR NOT fingerprint MATCHES "=([0-9A-F:]+)")
  refuse("the certificate's thumbprint cannot be read:\n${fingerprint}")
endif()
string(REPLACE ":" "" thumbprint "${CMAKE_MATCH_1}")
file(WRITE "${THUMBPRINT}" "${thumbprint}\n")
message(STATUS "${name} is signed with ${cert}, thumbprint ${thumbprint} (in ${THUMBPRINT})")
