# The man page, the documentation files and the Debian package.
find_program(GZIP gzip REQUIRED)

# gzip -n: no name or time stamp, so the package is reproducible.
function(keygen_gzip_doc template output)
  configure_file(${template} ${CMAKE_CURRENT_BINARY_DIR}/${output} @ONLY)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${output}.gz
    COMMAND ${GZIP} -9nf -k ${CMAKE_CURRENT_BINARY_DIR}/${output}
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${output} ${template})
endfunction()

# Each program in KEYGEN_PROGRAMS is installed with its man page
# doc/NAME.1.in, whose .TH line must take its date from @KEYGEN_DATE@.
install(TARGETS ${KEYGEN_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(doc_outputs)
foreach(program IN LISTS KEYGEN_PROGRAMS)
  set(page ${PROJECT_SOURCE_DIR}/doc/${program}.1.in)
  file(STRINGS ${page} title REGEX "^\\.TH ")
  if(NOT title MATCHES "@KEYGEN_DATE@")
    message(FATAL_ERROR "${page}: the .TH line must carry the date as @KEYGEN_DATE@")
  endif()
  keygen_gzip_doc(${page} ${program}.1)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  list(APPEND doc_outputs ${CMAKE_CURRENT_BINARY_DIR}/${program}.1.gz)
endforeach()
keygen_gzip_doc(${PROJECT_SOURCE_DIR}/doc/changelog.in changelog)
add_custom_target(docs ALL DEPENDS ${doc_outputs} ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)

install(FILES ${PROJECT_SOURCE_DIR}/doc/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME keygen)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "keygen developers <keygen@keygen.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Rabin key generator with two 100-digit Blum primes")
set(CPACK_PACKAGE_DESCRIPTION "keygen makes one key for an authentication scheme built on squaring
modulo N = P*Q (the Rabin construction). Each run draws two random
100-digit probable primes that are 3 mod 4 (Blum primes) from the
operating system's random source, multiplies them and prints the three
numbers as eight AuthP, AuthQ and AuthN lines of at most 50 digits.
It also checks keys and prints their public part.

keyaudit finds the keys that keygen's clock-seeded predecessor made, by
replaying its random stream, and recovers them.

Every failure is reported on standard error with a non-zero exit status,
core dumps are turned off, and the private key is wiped from memory
before the program exits. The key is about 664 bits: use it only where
the scheme asks for exactly this size.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# cpack reads this when it starts: without SOURCE_DATE_EPOCH of its own, the
# files in the package get the date the man pages show, not the build's time.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/CPackDate.cmake)
file(CONFIGURE OUTPUT ${CPACK_PROJECT_CONFIG_FILE} @ONLY CONTENT [[
if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} @KEYGEN_DATE_EPOCH@)
endif()
]])
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebMemberModes.cmake)
include(CPack)
