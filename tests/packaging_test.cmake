# The installation as a vendor and a receiver meet it: cmake -DCASE=vendor|tgz|deb
# -DBUILD=<Korlan's build> -DSOURCE=<its source> -DCPACK=<cpack> -DWORK=<scratch> -P this
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/x)

# Runs COMMAND: it must end with `status` and print exactly OUT (standard
# error included), or something that MATCHes.
function(expect status)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUT;MATCH" "COMMAND")
  execute_process(COMMAND ${arg_COMMAND} OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE got)
  if(NOT got STREQUAL status OR (DEFINED arg_OUT AND NOT out STREQUAL arg_OUT)
     OR (DEFINED arg_MATCH AND NOT out MATCHES "${arg_MATCH}"))
    message(FATAL_ERROR "${arg_COMMAND}: status ${got}, expected ${status}\n${out}")
  endif()
endfunction()

# The self-check of the installation at `top` finds every listed file correct.
function(expect_verified top)
  file(STRINGS ${top}/packing.lst entries)
  list(LENGTH entries n)
  math(EXPR tens "${n} / 10")
  string(REPEAT "." ${n} read)
  string(REPEAT "." ${tens} walked)
  expect(0 COMMAND ${ARGN} OUT "[reading packing.lst]\n${read}\n[Walking directory tree and \
comparing files]\n${walked}\nKorlan Succeeded: all file comparisons correct\n")
endfunction()

if(CASE STREQUAL "vendor")
  expect(0 COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/k)
  expect(0 COMMAND ${CMAKE_COMMAND} -S ${SOURCE}/examples/vendor -B ${WORK}/build
                   -DCMAKE_PREFIX_PATH=${WORK}/k)
  expect(0 COMMAND ${CMAKE_COMMAND} --build ${WORK}/build)
  set(install ${CMAKE_COMMAND} -E env DESTDIR=${WORK}/x ${CMAKE_COMMAND} --install ${WORK}/build
              --prefix /opt/hello)
  set(top ${WORK}/x/opt/hello)
  # The list last, or the list and then the digests, where the program makes them.
  expect(0 COMMAND ${install} MATCH
         "Installing: ${top}/bin/hello-check\n.*Installing: ${top}/packing.lst\n(-- Installing: ${top}/packing.sha256\n)?$")
  expect(0 COMMAND grep -Fxc -e /opt/hello/bin/hello-check -e /opt/hello/packing.lst
                   ${WORK}/build/install_manifest.txt OUT "2\n")
  expect_verified(${top} ${top}/bin/hello-check)
  execute_process(COMMAND ${top}/bin/hello-check --help OUTPUT_VARIABLE help)
  if(help MATCHES "--make-sums")  # the digests too, where the program makes them
    expect(0 COMMAND grep -Fx /opt/hello/packing.sha256 ${WORK}/build/install_manifest.txt)
  endif()

  file(REMOVE ${top}/etc/hello.conf)
  file(SIZE ${top}/share/doc/hello/README size)
  file(APPEND ${top}/share/doc/hello/README "changed\n")
  math(EXPR changed "${size} + 8")
  set(root ${top}/bin/../lib/hello/bin/../../..)
  expect(2 COMMAND ${top}/bin/hello-check --tsv --strict
           OUT "missing\t${root}/etc/hello.conf\t17\t\tNo such file or directory\n\
size\t${root}/share/doc/hello/README\t${size}\t${changed}\t\ntotal\t2\t5\n")
  file(TOUCH "${top}/two words")  # CMake wraps the list maker's message
  expect(1 COMMAND ${install} MATCH "failed[ \n]+\\(255\\):.*cannot[ \n]+list.*two[ \n]+words")
elseif(CASE STREQUAL "tgz")
  expect(0 COMMAND ${CPACK} -G TGZ -B ${WORK} --config ${BUILD}/CPackConfig.cmake)
  expect(0 COMMAND tar -xzf ${WORK}/korlan-1.0-Linux.tar.gz -C ${WORK}/x)
  expect_verified(${WORK}/x/korlan-1.0-Linux ${WORK}/x/korlan-1.0-Linux/bin/korlan)
else()
  find_program(dpkg_deb dpkg-deb)
  if(NOT dpkg_deb)
    message("SKIPPED: dpkg-deb, to unpack the Debian package, is not installed")
    return()
  endif()
  expect(0 COMMAND ${CPACK} -G DEB -B ${WORK} --config ${BUILD}/CPackConfig.cmake)
  file(GLOB deb ${WORK}/*.deb)
  expect(0 COMMAND ${dpkg_deb} -f ${deb} Package Depends MATCH "^Package: korlan\nDepends: .*libc6")
  expect(0 COMMAND ${dpkg_deb} -x ${deb} ${WORK}/x)
  expect_verified(${WORK}/x/opt/korlan ${WORK}/x/opt/korlan/bin/korlan)
endif()
