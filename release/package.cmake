# Completes the package as it is installed: refuses a signed Quarvane.exe
# beside unsigned scripts, then writes the notices and the SBOM of the
# toolchain parts linked into Quarvane.exe, and the SHA-256 sums of them all.
# The variables QUARVANE_* are set by release/CMakeLists.txt.
set(folder "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${what} could not be written")
  endif()
endfunction()

# A signed Quarvane.exe never ships beside unsigned scripts.
if(EXISTS "${QUARVANE_THUMBPRINT_FILE}")
  foreach(script ${QUARVANE_SCRIPTS})
    file(STRINGS "${folder}/${script}" signature REGEX "^# SIG # Begin signature block")
    if(NOT signature)
      message(FATAL_ERROR "Quarvane.exe is signed but ${script} is not, so this build is not "
        "packaged: the osslsigncode that signed it cannot sign PowerShell scripts. Install "
        "osslsigncode 2.9 or later (on Debian 12, from bookworm-backports) and build again.")
    endif()
  endforeach()
endif()

set(parts "${QUARVANE_WORK_DIR}/runtime-parts.tsv")
run(THIRD-PARTY-NOTICES.txt bash "${QUARVANE_RELEASE_DIR}/notices/third_party_notices.sh"
  "${QUARVANE_CXX_COMPILER}" "${folder}/THIRD-PARTY-NOTICES.txt" "${parts}")

set(shipped Quarvane.exe ${QUARVANE_SCRIPTS} README.txt THIRD-PARTY-NOTICES.txt)
include("${QUARVANE_RELEASE_DIR}/source_date.cmake")
quarvane_source_date("${QUARVANE_SOURCE_DIR}" epoch)
run(Quarvane.spdx.json python3 "${QUARVANE_RELEASE_DIR}/notices/sbom.py" "${QUARVANE_PACKAGE_NAME}"
  "${QUARVANE_VERSION}" "${epoch}" "${parts}" "${folder}" "${folder}/Quarvane.spdx.json" ${shipped})

set(sums "")
foreach(name ${shipped} Quarvane.spdx.json)
  file(SHA256 "${folder}/${name}" hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${folder}/SHA256SUMS" "${sums}")
