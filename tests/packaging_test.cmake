# End to end, the installation as a vendor and a receiving administrator
# meet it: cmake -DCASE=vendor|tgz|deb -DBUILD=<Korlan's build directory>
# -DSOURCE=<its source> -DCPACK=<cpack> -DWORK=<scratch> -P packaging_test.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

# Runs COMMAND; fails unless it ends with `status` and, with OUT, prints
# exactly that on standard output and nothing on standard error, or, with
# MATCH, prints something that matches on either.
function(expect status)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUT;MATCH" "COMMAND")
  execute_process(COMMAND ${arg_COMMAND} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE got)
  if(NOT got STREQUAL status OR (DEFINED arg_OUT AND NOT "${out}${err}" STREQUAL arg_OUT)
     OR (DEFINED arg_MATCH AND NOT "${out}${err}" MATCHES "${arg_MATCH}"))
    message(FATAL_ERROR "${arg_COMMAND}: status ${got}, expected ${status}\n${out}${err}")
  endif()
endfunction()

# The self-check at `top`, its list read back: every listed file is correct.
function(expect_verified top)
  file(STRINGS "${top}/packing.lst" entries)
  list(LENGTH entries n)
  math(EXPR tens "${n} / 10")
  string(REPEAT "." ${n} read)
  string(REPEAT "." ${tens} walked)
  expect(0 COMMAND ${ARGN} OUT "[reading packing.lst]\n${read}\n[Walking directory tree and \
comparing files]\n${walked}\nKorlan Succeeded: all file comparisons correct\n")
endfunction()

function(expect_in_manifest manifest)
  file(STRINGS "${manifest}" names)
  foreach(name IN LISTS ARGN)
    if(NOT name IN_LIST names)
      message(FATAL_ERROR "${manifest} does not name ${name}")
    endif()
  endforeach()
endfunction()

if(CASE STREQUAL "vendor")
  # The component install writes a manifest of its own, apart from the
  # plain installs of other tests.
  expect(0 COMMAND ${CMAKE_COMMAND} --install ${BUILD} --component Unspecified --prefix ${WORK}/k)
  expect_in_manifest(${BUILD}/install_manifest_Unspecified.txt ${WORK}/k/bin/korlan
                     ${WORK}/k/packing.lst)
  expect(0 COMMAND ${CMAKE_COMMAND} -S ${SOURCE}/examples/vendor -B ${WORK}/build
                   -DCMAKE_PREFIX_PATH=${WORK}/k)
  expect(0 COMMAND ${CMAKE_COMMAND} --build ${WORK}/build)
  set(install ${CMAKE_COMMAND} -E env DESTDIR=${WORK}/dest
              ${CMAKE_COMMAND} --install ${WORK}/build --prefix /opt/hello)
  expect(0 COMMAND ${install})
  expect_in_manifest(${WORK}/build/install_manifest.txt /opt/hello/bin/hello-check
                     /opt/hello/packing.lst)
  set(top ${WORK}/dest/opt/hello)
  expect_verified(${top} ${top}/bin/hello-check)

  file(REMOVE ${top}/etc/hello.conf)
  file(SIZE ${top}/share/doc/hello/README size)
  file(APPEND ${top}/share/doc/hello/README "changed\n")
  math(EXPR changed "${size} + 8")
  set(root ${top}/bin/../lib/hello/bin/../../..)
  expect(2 COMMAND ${top}/bin/hello-check --tsv --strict
           OUT "missing\t${root}/etc/hello.conf\t17\t\tNo such file or directory\n\
size\t${root}/share/doc/hello/README\t${size}\t${changed}\t\ntotal\t2\t5\n")

  file(TOUCH "${top}/two words")
  # CMake wraps the list maker's message.
  expect(1 COMMAND ${install} MATCH "failed[ \n]+\\(255\\):.*cannot[ \n]+list.*two[ \n]+words")
elseif(CASE STREQUAL "tgz")
  expect(0 COMMAND ${CPACK} -G TGZ -B ${WORK} --config ${BUILD}/CPackConfig.cmake)
  file(GLOB package ${WORK}/*.tar.gz)
  file(MAKE_DIRECTORY ${WORK}/x)
  expect(0 COMMAND tar -xzf ${package} -C ${WORK}/x)
  file(GLOB top ${WORK}/x/*)
  expect_verified(${top} ${top}/bin/korlan)
elseif(CASE STREQUAL "deb")
  find_program(dpkg_deb dpkg-deb)
  if(NOT dpkg_deb)
    message("SKIPPED: dpkg-deb, to unpack the Debian package, is not installed")
    return()
  endif()
  expect(0 COMMAND ${CPACK} -G DEB -B ${WORK} --config ${BUILD}/CPackConfig.cmake)
  file(GLOB package ${WORK}/*.deb)
  expect(0 COMMAND ${dpkg_deb} -f ${package} Package Depends MATCH "^Package: korlan\nDepends: libc6")
  expect(0 COMMAND ${dpkg_deb} -x ${package} ${WORK}/x)
  expect_verified(${WORK}/x/opt/korlan ${WORK}/x/opt/korlan/bin/korlan)
endif()
