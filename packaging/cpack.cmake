# Read by cpack for each generator.

# A static build is packed as an archive, whose server the release
# packages for Debian itself, with its revision and no dependency.
if(CPACK_ARCHIVE_ONLY AND NOT CPACK_GENERATOR STREQUAL "TGZ")
	message(FATAL_ERROR "a static build is packaged as a .tar.gz only (cpack -G TGZ)")
endif()

# Built from a source archive, the files take the time of its commit, so
# that the same bytes come out again; a time the builder gives comes first.
if(CPACK_SOURCE_DATE_EPOCH AND NOT DEFINED ENV{SOURCE_DATE_EPOCH})
	set(ENV{SOURCE_DATE_EPOCH} ${CPACK_SOURCE_DATE_EPOCH})
endif()
