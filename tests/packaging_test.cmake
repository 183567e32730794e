# The installation as a vendor and a receiver meet it: cmake -DCASE=vendor|signed|tgz|deb
# -DBUILD=<Korlan's build> -DSOURCE=<its source> -DCPACK=<cpack> -DWORK=<scratch> -P this
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/x)

# Runs COMMAND: it must end with `status` and print exactly OUT (standard
# error included), or something that MATCHes each of the MATCH expressions.
function(expect status)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUT" "COMMAND;MATCH")
  execute_process(COMMAND ${arg_COMMAND} OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE got)
  set(bad FALSE)
  foreach(match IN LISTS arg_MATCH)
    if(NOT out MATCHES "${match}")
      set(bad TRUE)
    endif()
  endforeach()
  # (OUT "" leaves arg_OUT undefined: the keyword itself is looked for.)
  if(bad OR NOT got STREQUAL status OR ("OUT" IN_LIST ARGN AND NOT out STREQUAL "${arg_OUT}"))
    message(FATAL_ERROR "${arg_COMMAND}: status ${got}, expected ${status}\n${out}")
  endif()
endfunction()

# The self-check COMMAND of the installation at `top` finds every entry of
# its manifest correct, and its lists signed by SIGNED when given; `entries`
# is set to the number of entries.
function(expect_verified top)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "SIGNED" "COMMAND")
  file(STRINGS ${top}/packing.mtree entries REGEX "^[^#]")
  list(LENGTH entries n)
  math(EXPR tens "${n} / 10")
  string(REPEAT "." ${n} read)
  string(REPEAT "." ${tens} walked)
  if(DEFINED arg_SIGNED)
    string(PREPEND read "[Signed: ${arg_SIGNED}]\n")
  endif()
  expect(0 COMMAND ${arg_COMMAND} OUT "[reading packing.lst]\n${read}\n[Walking directory tree and \
comparing files]\n${walked}\nKorlan Succeeded: all file comparisons correct\n")
  set(entries ${n} PARENT_SCOPE)
endfunction()

# Korlan installed at WORK/k, and the example configured against it (with
# the options given) in WORK/build and built.
function(build_example)
  expect(0 COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/k)
  expect(0 COMMAND ${CMAKE_COMMAND} -S ${SOURCE}/examples/vendor -B ${WORK}/build
                   -DCMAKE_PREFIX_PATH=${WORK}/k -DCMAKE_INSTALL_PREFIX=/opt/hello ${ARGN})
  expect(0 COMMAND ${CMAKE_COMMAND} --build ${WORK}/build)
endfunction()
set(install ${CMAKE_COMMAND} -E env DESTDIR=${WORK}/x ${CMAKE_COMMAND} --install ${WORK}/build
            --prefix /opt/hello)
set(top ${WORK}/x/opt/hello)
# The record --tsv begins with: the run's own.
set(run "^run\t1.0\t[^\n]*\tmtree\t[^\n]*/packing.mtree\t\t[^\n]*\n")
set(lists "Installing: ${top}/packing.lst\n-- Installing: ${top}/packing.sha256\n\
-- Installing: ${top}/packing.mtree\n")

if(CASE STREQUAL "vendor")
  build_example()
  # The lists last; the name with a space named once, and left out of packing.lst alone.
  expect(0 COMMAND ${install} MATCH "Installing: ${top}/bin/hello-check\n.*${lists}"
         "\n    korlan: left out of packing.lst: \"${top}/share/doc/hello/Read Me.txt\": name \
holds white space\n")
  expect(0 COMMAND grep -Fxc -e /opt/hello/bin/hello-check -e "/opt/hello/share/doc/hello/Read Me.txt"
                   -e /opt/hello/packing.lst -e /opt/hello/packing.sha256 -e /opt/hello/packing.mtree
                   ${WORK}/build/install_manifest.txt OUT "5\n")
  expect_verified(${top} COMMAND ${top}/bin/hello-check)
  expect(0 COMMAND ${top}/bin/hello-check --strict --unlisted --tsv MATCH "${run}total\t0\t${entries}\n$")
  expect(0 COMMAND ${CMAKE_COMMAND} -E chdir ${top} sha256sum -c --strict --quiet packing.sha256
           OUT "")
  # The installation's manifest records flags and extended attributes, which BSD mtree does not
  # read; what --make-mtree writes of it by default, it does, and finds the tree as it says.
  math(EXPR others "${entries} - 2")  # but the two lists the manifest names
  expect(0 COMMAND grep -c " flags=none xattr=none" ${top}/packing.mtree OUT "${others}\n")
  find_program(mtree mtree)
  if(mtree)
    execute_process(COMMAND ${top}/bin/hello-check --make-mtree ${top} OUTPUT_FILE ${WORK}/m)
    expect(0 COMMAND ${mtree} -e -f ${WORK}/m -p ${top} OUT "")
  endif()

  # The configuration file is the customer's: edited, it passes; made writable by all, or a
  # link, it does not. The file the install made itself is listed.
  set(root ${top}/bin/../lib/hello/bin/../../..)
  expect(1 COMMAND grep -c hello.conf ${top}/packing.lst ${top}/packing.sha256 OUT
         "${top}/packing.lst:0\n${top}/packing.sha256:0\n")
  expect(0 COMMAND grep -c "^16 ./share/hello/greeting$" ${top}/packing.lst OUT "1\n")
  file(APPEND ${top}/etc/hello.conf "greeting = hi\n")
  expect(0 COMMAND ${top}/bin/hello-check -q --strict OUT
         "Korlan Succeeded: all file comparisons correct\n")
  expect(0 COMMAND chmod o+w ${top}/etc/hello.conf)
  expect(2 COMMAND ${top}/bin/hello-check --tsv --strict
         MATCH "${run}mode\t${root}/etc/hello.conf\t0644\t0646\t\ntotal\t1\t${entries}\n$")
  expect(0 COMMAND chmod o-w ${top}/etc/hello.conf)
  # A prefix other software shares is warned about.
  expect(0 COMMAND ${CMAKE_COMMAND} -DCMAKE_INSTALL_PREFIX=/usr ${WORK}/build
         MATCH "install prefix is /usr, which[ \n]+other[ \n]+software[ \n]+shares")
  expect(0 COMMAND ${CMAKE_COMMAND} -DCMAKE_INSTALL_PREFIX=/opt/hello ${WORK}/build)

  # By default the self-check sees a mode changed and a link retargeted.
  expect(0 COMMAND chmod 4755 ${top}/bin/hello)
  expect(2 COMMAND ${top}/bin/hello-check --tsv --strict
           MATCH "${run}mode\t${root}/bin/hello\t0755\t04755\t\ntotal\t1\t${entries}\n$")
  expect(0 COMMAND chmod 755 ${top}/bin/hello)
  file(COPY_FILE ${top}/lib/hello/bin/korlan ${top}/lib/hello/bin/other)
  expect(0 COMMAND ln -sfn ../lib/hello/bin/other ${top}/bin/hello-check)
  expect(2 COMMAND ${top}/bin/hello-check --tsv --strict MATCH "${run}link\t${root}/bin/hello-check\t\
../lib/hello/bin/korlan\t../lib/hello/bin/other\t\ntotal\t1\t${entries}\n$")
  expect(0 COMMAND ln -sfn ../lib/hello/bin/korlan ${top}/bin/hello-check)
  file(REMOVE ${top}/lib/hello/bin/other)

  # A reinstall of a version that installs one file less lists it no more,
  # nor the directory it alone was in.
  expect(0 COMMAND ${CMAKE_COMMAND} -DHELLO_CONF=OFF ${WORK}/build)
  expect(0 COMMAND ${install})
  expect(0 COMMAND ${top}/bin/hello-check --unlisted --tsv MATCH "${run}unlisted\t${root}/etc\t\t[0-9]+\t\n\
unlisted\t${root}/etc/hello.conf\t\t31\t\ntotal\t2\t${entries}\n$")

  # A project whose subdirectories would install after the lists is refused.
  file(WRITE ${WORK}/old/CMakeLists.txt "cmake_minimum_required(VERSION 3.25)\nproject(old NONE)\n\
cmake_policy(SET CMP0082 OLD)\nfind_package(Korlan REQUIRED)\nkorlan_add_self_check(NAME old)\n")
  expect(1 COMMAND ${CMAKE_COMMAND} -S ${WORK}/old -B ${WORK}/old/build -DCMAKE_PREFIX_PATH=${WORK}/k
         MATCH "policy[ \n]+CMP0082[ \n]+is[ \n]+not[ \n]+NEW.*cmake_policy\\(SET[ \n]+CMP0082[ \n]+NEW\\)")
elseif(CASE STREQUAL "signed")
  find_program(minisign minisign)
  if(NOT minisign)
    message("SKIPPED: minisign, to make the key and the signatures, is not installed")
    return()
  endif()
  expect(0 COMMAND ${minisign} -G -W -p ${WORK}/hello.pub -s ${WORK}/hello.key)
  # Lists held whole in a cache preload, which the command line would split.
  file(WRITE ${WORK}/sign.cmake "set(HELLO_SIGN_COMMAND ${minisign} -S -s ${WORK}/hello.key \
-t \"hello 1.0\" -m CACHE STRING \"\" FORCE)
set(HELLO_MTREE_KEYWORDS mode size link sha512digest CACHE STRING \"\")\n")
  build_example(-C ${WORK}/sign.cmake)
  # The manifest alone is signed: it names the other two lists.
  expect(0 COMMAND ${install} MATCH "${lists}-- Installing: ${top}/packing.mtree.minisig\n$")
  expect(0 COMMAND grep -Fc .minisig ${WORK}/build/install_manifest.txt OUT "1\n")
  expect(0 COMMAND grep -c -e "^./etc/hello.conf type=file mode=0644$"
                   -e "^./share/hello/greeting type=file mode=0644 size=16 sha512digest=[0-9a-f]*$"
                   ${top}/packing.mtree OUT "2\n")
  expect_verified(${top} SIGNED "hello 1.0" COMMAND ${top}/bin/hello-check --key=${WORK}/hello.pub)
  # A digest of the sums changed, its size kept, is a changed entry of the
  # signed manifest.
  file(READ ${top}/packing.sha256 sums)
  string(SUBSTRING "${sums}" 1 -1 sums)
  file(WRITE ${WORK}/sums "f${sums}")
  file(COPY_FILE ${top}/packing.sha256 ${WORK}/good.sha256)
  file(COPY_FILE ${WORK}/sums ${top}/packing.sha256)
  set(root ${top}/bin/../lib/hello/bin/../../..)
  expect(2 COMMAND ${top}/bin/hello-check --key=${WORK}/hello.pub --strict --tsv
         MATCH "\nchecksum\t${root}/packing.sha256\t[0-9a-f]+\t[0-9a-f]+\t\ntotal\t1\t")
  file(COPY_FILE ${WORK}/good.sha256 ${top}/packing.sha256)
  # The package carries the signatures.
  expect(0 COMMAND ${CPACK} -G TGZ -B ${WORK} --config ${WORK}/build/CPackConfig.cmake)
  expect(0 COMMAND tar -xzf ${WORK}/hello-1.0-Linux.tar.gz -C ${WORK})
  expect_verified(${WORK}/hello-1.0-Linux SIGNED "hello 1.0"
                  COMMAND ${WORK}/hello-1.0-Linux/bin/hello-check --key=${WORK}/hello.pub)
  # A signing that fails fails the install, its output shown; and without a
  # signing command no signature is left beside the new lists.
  file(WRITE ${WORK}/sign.cmake "set(HELLO_SIGN_COMMAND ${minisign} -S -s ${WORK}/none.key -m \
CACHE STRING \"\" FORCE)\n")
  expect(0 COMMAND ${CMAKE_COMMAND} -C ${WORK}/sign.cmake ${WORK}/build)
  expect(1 COMMAND ${install} MATCH "none.key.*signing[ \n]+${top}/packing.mtree[ \n]+failed")
  expect(0 COMMAND ${CMAKE_COMMAND} -DHELLO_SIGN_COMMAND= ${WORK}/build)
  expect(0 COMMAND ${install} MATCH "${lists}$")
  expect(0 COMMAND find ${top} -maxdepth 1 -name *.minisig OUT "")
elseif(CASE STREQUAL "tgz")
  expect(0 COMMAND ${CPACK} -G TGZ -B ${WORK} --config ${BUILD}/CPackConfig.cmake)
  expect(0 COMMAND tar -xzf ${WORK}/korlan-1.0-Linux.tar.gz -C ${WORK}/x)
  expect_verified(${WORK}/x/korlan-1.0-Linux COMMAND ${WORK}/x/korlan-1.0-Linux/bin/korlan)
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
  expect_verified(${WORK}/x/opt/korlan COMMAND ${WORK}/x/opt/korlan/bin/korlan)
  # The systemd units where systemd finds them, outside the lists, running the package's program.
  expect(0 COMMAND ${dpkg_deb} -c ${deb} MATCH " \\./lib/systemd/system/korlan-verify@\\.service\n.* \\./lib/systemd/system/korlan-verify@\\.timer\n")
  expect(0 COMMAND grep -c "^ExecStart=/opt/korlan/bin/korlan " ${WORK}/x/lib/systemd/system/korlan-verify@.service OUT "1\n")
endif()
