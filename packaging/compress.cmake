# Runs in the package's staging folder before the package is built: Debian
# ships manual pages and changelogs compressed, reproducibly (no name, no
# time stamp).
file(GLOB_RECURSE files "${CPACK_TEMPORARY_DIRECTORY}/*.1" "${CPACK_TEMPORARY_DIRECTORY}/*/changelog")
foreach(file IN LISTS files)
	execute_process(COMMAND gzip -9n "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
