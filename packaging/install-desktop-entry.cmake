# Runs at install time (from cmake/install.cmake): writes the menu entry with
# Exec naming the program under the prefix being installed into, so it is
# right for `cmake --install --prefix`, DESTDIR staging and the package alike.
# In: MF_DESKTOP_TEMPLATE, MF_BINDIR, MF_DATADIR; CMAKE_INSTALL_PREFIX as the
# install sets it.

set(exec "${CMAKE_INSTALL_PREFIX}/${MF_BINDIR}/mfbackup")

# Exec quoting (Desktop Entry spec): a path holding a reserved character goes
# in double quotes, with " ` $ and \ escaped by a backslash inside them; the
# value as a whole is a string, whose own escaping doubles each backslash.
set(reserved " \t\n\"'\\\\><~|&;$*?#()`")
string(REGEX MATCH "[${reserved}]" needs_quotes "${exec}")
if(needs_quotes)
    string(REPLACE "\\" "\\\\" exec "${exec}")
    string(REPLACE "\"" "\\\"" exec "${exec}")
    string(REPLACE "`" "\\`" exec "${exec}")
    string(REPLACE "$" "\\$" exec "${exec}")
    set(exec "\"${exec}\"")
    string(REPLACE "\\" "\\\\" exec "${exec}")
endif()
# A literal % is written %% (field codes start with %).
string(REPLACE "%" "%%" MF_DESKTOP_EXEC "${exec}")

set(dest "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${MF_DATADIR}/applications/mfbackup.desktop")
message(STATUS "Installing: ${dest}")
configure_file("${MF_DESKTOP_TEMPLATE}" "${dest}" @ONLY NO_SOURCE_PERMISSIONS)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${dest}")
