# cpack -G DEB (or cpack --preset deb): a Debian package of what
# `cmake --install` installs, under /usr. Build it from the portable preset:
# a host-tuned (-march=native) plume stops with an illegal instruction on an
# older processor.
set(CPACK_PACKAGE_NAME plume)
set(CPACK_PACKAGE_VENDOR "plume developers")
set(CPACK_PACKAGE_CONTACT "plume developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "pollutant carried by a 2-D flow, reproducible bit for bit")
set(CPACK_PACKAGE_DESCRIPTION "plume simulates a pollutant carried by a two-dimensional flow on a staggered grid,
with point emissions, and writes a console log and a binary snapshot file
that are the same bytes on every x86-64 machine, thread count and process
layout. With it come snapinfo and snap2nc (the snapshot file checked,
summarised and converted to NetCDF) and plume-plot (maps and animations).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# The libraries of the programs (libc, libstdc++, zlib, ISA-L, Nettle, NetCDF, Open
# MPI in an MPI build) from dpkg-shlibdeps (Debian's dpkg-dev); plume-plot's
# Python and its modules by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
get_property(installed_commands GLOBAL PROPERTY plume_installed_commands)
if(plume-plot IN_LIST installed_commands)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3 (>= 3.11), python3-numpy, python3-matplotlib, python3-pil")
  if(NOT Python3_EXECUTABLE MATCHES "^/usr/bin/")
    message(WARNING "plume-plot runs ${Python3_EXECUTABLE}, which a Debian package's python3 dependencies do not provide: configure with -DPython3_EXECUTABLE=/usr/bin/python3 to package")
  endif()
endif()
include(CPack)
