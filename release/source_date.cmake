# The time a package is dated, in SOURCE_DATE_EPOCH when it is set, else the
# time of the commit it is built from, so that two packages of one commit are
# the same bytes.
function(quarvane_source_date source_dir out)
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  if(epoch STREQUAL "")
    execute_process(COMMAND git -C "${source_dir}" log -1 --format=%ct
      OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
    if(failed OR NOT epoch MATCHES "^[0-9]+$")
      message(FATAL_ERROR "The package's date cannot be had: ${source_dir} is not a git checkout. "
        "Set SOURCE_DATE_EPOCH to the release's time in seconds since 1970.")
    endif()
  endif()
  set(${out} "${epoch}" PARENT_SCOPE)
endfunction()
