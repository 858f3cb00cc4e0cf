# Read by cpack once per generator, with CPACK_GENERATOR naming the one at work.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
