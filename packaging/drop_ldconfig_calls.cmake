# Run by CPack after it has built the packages: CPack gives a package with a shared
# library maintainer scripts that call ldconfig, which Debian does with the package's
# trigger instead (packaging/triggers). Rebuilds that package without them.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  set(root ${package}.root)
  file(REMOVE_RECURSE ${root})
  execute_process(COMMAND dpkg-deb --raw-extract ${package} ${root} COMMAND_ERROR_IS_FATAL ANY)
  if(EXISTS ${root}/DEBIAN/triggers)
    file(REMOVE ${root}/DEBIAN/postinst ${root}/DEBIAN/postrm)
    execute_process(COMMAND dpkg-deb --root-owner-group --build ${root} ${package}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${root})
endforeach()
