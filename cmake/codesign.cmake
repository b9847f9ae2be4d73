# Build identity for code signing.
#
# Development build (the default): makes a root certificate and a signing
# leaf ONCE per build tree, in ${CMAKE_BINARY_DIR}/codesign-identity, with the
# openssl command line at configure time, and trusts that root. Anyone who can
# read the build tree can sign code that this build's daemon accepts.
#
# Release build: -DKORVANE_TRUST_ANCHOR=ANCHOR.pem
#                -DKORVANE_SIGNING_IDENTITY=KEY.pem,CERT.pem[,CHAIN.pem]
# (both or neither). The leaf must chain to the anchor; this is checked here.
#
# Gives:
#   korvane_trust_anchor          library: codesign::buildTrustAnchorPem()
#   korvane_strip_target(TARGET [SHIPPED])  strips TARGET after each link,
#                                 keeping its debug information apart
#   korvane_codesign_target(TARGET IDENTIFIER)
#                                 signs TARGET's output after each link with the
#                                 built korvane-codesign
#   korvane_genuine_client(TARGET [INSTALLED])  signs TARGET as the genuine
#                                 client; with INSTALLED, also installs it the
#                                 way the daemon demands
#   KORVANE_CLIENT_GROUP          the group the genuine client runs with
#   KORVANE_CODESIGN_IDENTITY     KEY,CERT[,CHAIN] in use
#   KORVANE_CODESIGN_ANCHOR_FILE  PEM file of the anchor in use
#   KORVANE_CODESIGN_GENERATED_DIR  folder of the generated sources

set(KORVANE_TRUST_ANCHOR "" CACHE FILEPATH
    "Release build: PEM file of the trust anchor compiled into the build")
set(KORVANE_SIGNING_IDENTITY "" CACHE STRING
    "Release build: KEY,CERT[,CHAIN] PEM files that sign the build's executables")
set(KORVANE_TEAM_ID "QX7ZK2M4PD")
set(KORVANE_CLIENT_IDENTIFIER "com.korvane.Korvane-Activity-Console")
set(KORVANE_CLIENT_GROUP "korvane-client")

find_program(KORVANE_OPENSSL_EXECUTABLE openssl REQUIRED)

function(_korvane_openssl workdir)
  execute_process(COMMAND ${KORVANE_OPENSSL_EXECUTABLE} ${ARGN}
                  WORKING_DIRECTORY ${workdir}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "codesign: openssl ${command} failed (${result}):\n${output}")
  endif()
endfunction()

# Makes the development root and leaf in `dir` unless all four files are
# there. Made in a side folder and renamed into place, so an interrupted
# configure never leaves half an identity behind.
function(_korvane_make_development_identity dir)
  set(complete TRUE)
  foreach(name root.key root.pem leaf.key leaf.pem)
    if(NOT EXISTS ${dir}/${name})
      set(complete FALSE)
    endif()
  endforeach()
  if(complete)
    return()
  endif()
  message(STATUS "codesign: making the development signing identity in ${dir}")
  set(work ${dir}.new)
  file(REMOVE_RECURSE ${work})
  file(MAKE_DIRECTORY ${work})
  file(CHMOD ${work} DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  file(WRITE ${work}/openssl.cnf [=[
[req]
distinguished_name = req_dn
prompt = no
[req_dn]
CN = unused
[root_ext]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[leaf_ext]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = critical,codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
]=])
  set(ec -algorithm EC -pkeyopt ec_paramgen_curve:P-256)
  _korvane_openssl(${work} genpkey ${ec} -out root.key)
  _korvane_openssl(${work} req -new -x509 -config openssl.cnf -extensions root_ext -key root.key
                   -subj "/O=Korvane Development/CN=Korvane Development Root CA"
                   -days 3650 -sha256 -out root.pem)
  _korvane_openssl(${work} genpkey ${ec} -out leaf.key)
  _korvane_openssl(${work} req -new -config openssl.cnf -key leaf.key
                   -subj "/CN=Korvane Development (${KORVANE_TEAM_ID})/OU=${KORVANE_TEAM_ID}/O=Korvane Development"
                   -out leaf.csr)
  _korvane_openssl(${work} x509 -req -in leaf.csr -CA root.pem -CAkey root.key -days 3650 -sha256
                   -extfile openssl.cnf -extensions leaf_ext -out leaf.pem)
  file(CHMOD ${work}/root.key ${work}/leaf.key PERMISSIONS OWNER_READ OWNER_WRITE)
  file(REMOVE ${work}/leaf.csr)
  file(REMOVE_RECURSE ${dir})
  file(RENAME ${work} ${dir})
endfunction()

if(KORVANE_TRUST_ANCHOR OR KORVANE_SIGNING_IDENTITY)
  if(NOT KORVANE_TRUST_ANCHOR OR NOT KORVANE_SIGNING_IDENTITY)
    message(FATAL_ERROR
      "codesign: a release build needs both KORVANE_TRUST_ANCHOR and KORVANE_SIGNING_IDENTITY")
  endif()
  string(REPLACE "," ";" parts "${KORVANE_SIGNING_IDENTITY}")
  list(LENGTH parts count)
  if(count LESS 2 OR count GREATER 3)
    message(FATAL_ERROR "codesign: KORVANE_SIGNING_IDENTITY is KEY,CERT[,CHAIN]")
  endif()
  foreach(file ${KORVANE_TRUST_ANCHOR} ${parts})
    if(NOT IS_ABSOLUTE ${file} OR NOT EXISTS ${file})
      message(FATAL_ERROR "codesign: ${file} is not an absolute path of an existing file")
    endif()
  endforeach()
  list(GET parts 1 cert)
  set(untrusted)
  if(count EQUAL 3)
    list(GET parts 2 chain)
    set(untrusted -untrusted ${chain})
  endif()
  _korvane_openssl(${CMAKE_BINARY_DIR} verify -purpose any -partial_chain
                   -CAfile ${KORVANE_TRUST_ANCHOR} ${untrusted} ${cert})
  execute_process(COMMAND ${KORVANE_OPENSSL_EXECUTABLE} x509 -in ${cert} -noout -subject
                          -nameopt RFC2253
                  OUTPUT_VARIABLE subject OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT subject MATCHES "(=|,)OU=${KORVANE_TEAM_ID}(,|$)")
    message(WARNING "codesign: the signing leaf's subject (${subject}) has no "
                    "OU=${KORVANE_TEAM_ID}; the daemon will refuse code it signs")
  endif()
  set(KORVANE_CODESIGN_DEVELOPMENT OFF)
  set(KORVANE_CODESIGN_ANCHOR_FILE ${KORVANE_TRUST_ANCHOR})
  set(KORVANE_CODESIGN_IDENTITY ${KORVANE_SIGNING_IDENTITY})
  message(STATUS "codesign: release build: trusting ${KORVANE_TRUST_ANCHOR}")
  # Test programs are signed as the genuine client; with a release identity
  # they would be programs the released daemon obeys.
  if(BUILD_TESTING)
    message(STATUS "codesign: release identity given: tests are not built")
    set(BUILD_TESTING OFF)
  endif()
else()
  set(dir ${CMAKE_BINARY_DIR}/codesign-identity)
  _korvane_make_development_identity(${dir})
  set(KORVANE_CODESIGN_DEVELOPMENT ON)
  set(KORVANE_CODESIGN_ANCHOR_FILE ${dir}/root.pem)
  set(KORVANE_CODESIGN_IDENTITY ${dir}/leaf.key,${dir}/leaf.pem)
  message(STATUS "codesign: development build: trusting ${dir}/root.pem, "
                 "whose key lies in this build tree")
endif()

set(KORVANE_CODESIGN_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated/codesign)
file(READ ${KORVANE_CODESIGN_ANCHOR_FILE} KORVANE_CODESIGN_ANCHOR_PEM)
if(NOT KORVANE_CODESIGN_ANCHOR_PEM MATCHES "-----BEGIN CERTIFICATE-----")
  message(FATAL_ERROR "codesign: ${KORVANE_CODESIGN_ANCHOR_FILE} holds no PEM certificate")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KORVANE_CODESIGN_ANCHOR_FILE})
configure_file(${CMAKE_CURRENT_LIST_DIR}/build_trust_anchor.cc.in
               ${KORVANE_CODESIGN_GENERATED_DIR}/build_trust_anchor.cc @ONLY)

add_library(korvane_trust_anchor STATIC ${KORVANE_CODESIGN_GENERATED_DIR}/build_trust_anchor.cc)
target_include_directories(korvane_trust_anchor PUBLIC ${CMAKE_SOURCE_DIR})

# korvane_codesign_target(TARGET IDENTIFIER): after every link of TARGET, sign
# its output under IDENTIFIER with this build's identity. Anything that
# rewrites the file afterwards (strip, an install step that edits RPATH)
# breaks the signature: sign last.
function(korvane_codesign_target target identifier)
  # The signed file is the installed file: linked with its install RPATH so
  # installation has nothing to rewrite.
  set_target_properties(${target} PROPERTIES BUILD_WITH_INSTALL_RPATH ON)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND korvane-codesign sign --identity ${KORVANE_CODESIGN_IDENTITY}
            --identifier ${identifier} $<TARGET_FILE:${target}>
    COMMENT "Signing ${target} as ${identifier}"
    VERBATIM)
  if(NOT target STREQUAL "korvane-codesign")
    add_dependencies(${target} korvane-codesign)
  endif()
endfunction()

# korvane_strip_target(TARGET [SHIPPED]): after every link outside Debug
# builds, TARGET's output is stripped, its debug information kept in
# TARGET.debug beside it, which debuggers find through the link left in the
# file or by the build ID. Call it before anything that signs TARGET: a strip
# after signing breaks the signature. With SHIPPED, the debug file installs
# (component dbgsym) as /usr/lib/debug/.build-id/XX/REST.debug, where
# debuggers look for the installed program's.
function(korvane_strip_target target)
  cmake_parse_arguments(S "SHIPPED" "" "" ${ARGN})
  target_link_options(${target} PRIVATE -Wl,--build-id)
  if(CMAKE_BUILD_TYPE STREQUAL "Debug")
    return()
  endif()
  set(file $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${file} ${file}.debug
    COMMAND chmod 0644 ${file}.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-all --remove-section=.comment --remove-section=.note
            --add-gnu-debuglink=${file}.debug ${file}
    COMMENT "Stripping ${target}"
    VERBATIM)
  if(NOT S_SHIPPED)
    return()
  endif()
  find_program(KORVANE_READELF readelf REQUIRED)
  install(CODE "
    execute_process(COMMAND ${KORVANE_READELF} --notes ${file} OUTPUT_VARIABLE notes
                    COMMAND_ERROR_IS_FATAL ANY)
    if(NOT notes MATCHES \"Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)\")
      message(FATAL_ERROR \"${file} has no build ID\")
    endif()
    file(INSTALL ${file}.debug
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/debug/.build-id/\${CMAKE_MATCH_1}\"
         RENAME \"\${CMAKE_MATCH_2}.debug\")" COMPONENT dbgsym)
endfunction()

# korvane_genuine_client(TARGET [INSTALLED]): after every link, TARGET's output is
#  1. stripped (korvane_strip_target), except in Debug builds: admission
#     hashes every byte the signature covers, and debug information is most
#     of them;
#  2. signed as the genuine client;
#  3. with INSTALLED (korvane-helperctl alone), given group KORVANE_CLIENT_GROUP
#     and mode 2755 when the build runs as root and the group exists
#     (scripts/setup.sh makes it). The daemon admits only a client running with
#     that group, so any other program given it would be a second genuine
#     client for everyone who can run it: a benchmark that needs admission
#     runs from a private copy (scripts/bench.sh). chgrp and chmod leave the
#     signed bytes alone; chgrp comes first because it clears the set-group-ID
#     bit.
function(korvane_genuine_client target)
  cmake_parse_arguments(G "INSTALLED" "" "" ${ARGN})
  if(KORVANE_SANITIZE)
    target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/cmake/genuine_client_lsan.cc)
  endif()
  if(G_INSTALLED)
    korvane_strip_target(${target} SHIPPED)
  else()
    korvane_strip_target(${target})
  endif()
  korvane_codesign_target(${target} ${KORVANE_CLIENT_IDENTIFIER})
  if(G_INSTALLED)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/genuine_client_mode.sh ${KORVANE_CLIENT_GROUP}
              $<TARGET_FILE:${target}>
      VERBATIM)
  endif()
endfunction()
