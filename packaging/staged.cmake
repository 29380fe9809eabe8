# Runs in the package's staging folder before the package is built: Debian
# ships manual pages and changelogs compressed, reproducibly (no name, no
# time stamp), in folders open to all whatever the builder's umask.
file(GLOB_RECURSE files "${CPACK_TEMPORARY_DIRECTORY}/*.1" "${CPACK_TEMPORARY_DIRECTORY}/*/changelog")
foreach(file IN LISTS files)
	execute_process(COMMAND gzip -9n "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(GLOB_RECURSE folders LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(folder IN LISTS folders)
	if(IS_DIRECTORY "${folder}")
		file(CHMOD "${folder}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
			GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
	endif()
endforeach()
