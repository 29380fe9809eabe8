# Runs in the package's staging folder before the package is built:
# manual pages go in compressed, reproducibly (no name, no time stamp).
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_DIRECTORY}/*.1")
foreach(page IN LISTS pages)
	execute_process(COMMAND gzip -9n "${page}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
