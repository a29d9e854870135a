# The same source gives the same package wherever, whenever and by whomever
# it is built.

# The compiled code and its debug information name the folders they were
# built from, and the GNU build-id hashes all of it: map both folders to "."
# (gdb run from the source folder still finds the files). GCC tries the map
# given last first, so the longer folder goes last; otherwise a folder that
# is a prefix of the other (a build folder inside the source, or "src" beside
# "src-build") would rewrite the other's paths by halves.
string(LENGTH "${CMAKE_SOURCE_DIR}" source_length)
string(LENGTH "${CMAKE_BINARY_DIR}" binary_length)
if(source_length LESS binary_length)
  set(prefix_maps "${CMAKE_SOURCE_DIR}" "${CMAKE_BINARY_DIR}")
else()
  set(prefix_maps "${CMAKE_BINARY_DIR}" "${CMAKE_SOURCE_DIR}")
endif()
list(REMOVE_DUPLICATES prefix_maps)
foreach(dir IN LISTS prefix_maps)
  add_compile_options("-ffile-prefix-map=${dir}=.")
endforeach()
# __DATE__ and __TIME__ would write the build's own time.
add_compile_options(-Wdate-time)

# The one date the package carries, in the man pages and as the time of every
# file in it: SOURCE_DATE_EPOCH when set, otherwise the date of the newest
# changelog entry. The fallback keeps a build without it reproducible and
# needs no git, and it moves only when a release is written down.
set(changelog "${PROJECT_SOURCE_DIR}/doc/changelog.in")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${changelog}")
if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(KEYGEN_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
  if(NOT KEYGEN_DATE_EPOCH MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH is not a number of seconds: ${KEYGEN_DATE_EPOCH}")
  endif()
else()
  file(STRINGS "${changelog}" signatures REGEX "^ -- .*>  ")
  list(GET signatures 0 newest)
  string(REGEX REPLACE "^ -- .*>  " "" newest_date "${newest}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C TZ=UTC
                          date -u -d "${newest_date}" +%s
                  OUTPUT_VARIABLE KEYGEN_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE date_status)
  if(NOT date_status EQUAL 0 OR NOT KEYGEN_DATE_EPOCH MATCHES "^[0-9]+$")
    message(FATAL_ERROR "cannot read the date of the newest entry of ${changelog}")
  endif()
endif()

# string(TIMESTAMP) formats only SOURCE_DATE_EPOCH or the clock; the month's
# name comes from a list, not from the locale.
set(saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} "${KEYGEN_DATE_EPOCH}")
string(TIMESTAMP year "%Y" UTC)
string(TIMESTAMP month "%m" UTC)
if(saved_epoch STREQUAL "")
  unset(ENV{SOURCE_DATE_EPOCH})
else()
  set(ENV{SOURCE_DATE_EPOCH} "${saved_epoch}")
endif()
set(month_names January February March April May June July August September
                October November December)
math(EXPR month_index "${month} - 1")
list(GET month_names ${month_index} month_name)
# What the .TH line of every man page shows.
set(KEYGEN_DATE "${month_name} ${year}")

# Installed folders are 0755 whatever the umask; files already get fixed modes.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
