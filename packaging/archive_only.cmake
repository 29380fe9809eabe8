# Read by cpack for each generator of a static build: such a build is
# released as an archive, and a .deb of it would be a second, statically
# linked package of the name the real one has.
if(NOT CPACK_GENERATOR STREQUAL "TGZ")
	message(FATAL_ERROR "a static build is packaged as a .tar.gz only (cpack -G TGZ)")
endif()
