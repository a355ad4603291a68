# Run by cpack once the files are installed for a package. The installer writes the example Option.ini
# itself, and only where a desk has none; in the installed files it would be overwritten by every reinstall
# and deleted by the uninstaller. The template takes it from the package's own directory.
if(CPACK_GENERATOR STREQUAL "NSIS")
    file(RENAME "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/Option.ini" "${CPACK_TOPLEVEL_DIRECTORY}/Option.ini")
endif()
