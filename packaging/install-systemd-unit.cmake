# Runs at install time (from cmake/install.cmake): writes the systemd user
# unit with ExecStart naming the command line under the prefix being installed
# into, so it is right for `cmake --install --prefix`, DESTDIR staging and the
# package alike. In: MF_UNIT_TEMPLATE, MF_BINDIR; CMAKE_INSTALL_PREFIX as the
# install sets it.

set(exec "${CMAKE_INSTALL_PREFIX}/${MF_BINDIR}/mfbackup-cli")

# systemd's command-line quoting: a path with a blank, quote or backslash
# goes in double quotes, with \ and " escaped by a backslash; % starts a
# specifier and $ a variable, so each is doubled.
string(REGEX MATCH "[ \t\"'\\\\]" needs_quotes "${exec}")
string(REPLACE "%" "%%" exec "${exec}")
string(REPLACE "$" "$$" exec "${exec}")
if(needs_quotes)
    string(REPLACE "\\" "\\\\" exec "${exec}")
    string(REPLACE "\"" "\\\"" exec "${exec}")
    set(exec "\"${exec}\"")
endif()
set(MF_WATCH_EXEC "${exec}")

set(dest "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/user/mfbackup-watch.service")
message(STATUS "Installing: ${dest}")
configure_file("${MF_UNIT_TEMPLATE}" "${dest}" @ONLY NO_SOURCE_PERMISSIONS)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${dest}")
