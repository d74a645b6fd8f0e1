# CMake generated Testfile for 
# Source directory: /work/main/tests
# Build directory: /work/main/build/tests
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
include("/work/main/build/tests/ptz_tests[1]_include.cmake")
add_test([=[stress]=] "/work/main/build/tests/ptz_stress")
set_tests_properties([=[stress]=] PROPERTIES  LABELS "stress" TIMEOUT "300" _BACKTRACE_TRIPLES "/work/main/tests/CMakeLists.txt;38;add_test;/work/main/tests/CMakeLists.txt;0;")
add_test([=[tcp_tests_against_sim_process]=] "/work/main/tests/with_sim.sh" "/work/main/build/sim/ptz-sim" "--" "env" "PTZ_SIM=127.0.0.1:{PORT}:{CONTROL}" "/work/main/build/tests/ptz_tests" "--gtest_filter=LanLink.*:Commands.*:-*SilentHead*")
set_tests_properties([=[tcp_tests_against_sim_process]=] PROPERTIES  _BACKTRACE_TRIPLES "/work/main/tests/CMakeLists.txt;45;add_test;/work/main/tests/CMakeLists.txt;0;")
add_test([=[exported_symbols]=] "/usr/bin/cmake" "-DLIBRARY=/work/main/build/libptz.so.1.0.0" "-DHEADER=/work/main/include/ptz.h" "-P" "/work/main/tests/check_symbols.cmake")
set_tests_properties([=[exported_symbols]=] PROPERTIES  _BACKTRACE_TRIPLES "/work/main/tests/CMakeLists.txt;50;add_test;/work/main/tests/CMakeLists.txt;0;")
add_test([=[c_host_against_simulator]=] "/work/main/tests/with_sim.sh" "/work/main/build/sim/ptz-sim" "--" "/work/main/build/tests/c_host" "127.0.0.1" "{PORT}")
set_tests_properties([=[c_host_against_simulator]=] PROPERTIES  PASS_REGULAR_EXPRESSION "position: pan 1200, tilt -300.*recall preset 9 failed: kind 0, code 1102" _BACKTRACE_TRIPLES "/work/main/tests/CMakeLists.txt;59;add_test;/work/main/tests/CMakeLists.txt;0;")
add_test([=[dynamic_host_against_simulator]=] "/work/main/tests/with_sim.sh" "/work/main/build/sim/ptz-sim" "--" "/work/main/build/tests/dynamic_host" "/work/main/build/libptz.so.1.0.0" "127.0.0.1" "{PORT}")
set_tests_properties([=[dynamic_host_against_simulator]=] PROPERTIES  PASS_REGULAR_EXPRESSION "pan -77, tilt 88" _BACKTRACE_TRIPLES "/work/main/tests/CMakeLists.txt;69;add_test;/work/main/tests/CMakeLists.txt;0;")
add_test([=[ptzctl_session]=] "/work/main/build/tools/ptzctl/ptzctl" "--sim" "init" "pt-set" "1" "1000" "-500" "pt-get" "preset-set" "3" "0" "pt-set" "0" "0" "0" "preset-go" "3" "pt-get" "eep-write" "0x10" "DEADBEEF" "eep-read" "0x10" "4" "eep-burn" "speed-set" "4" "200" "speed-get" "4" "status")
set_tests_properties([=[ptzctl_session]=] PROPERTIES  PASS_REGULAR_EXPRESSION "pan 1000
tilt -500
pt-get: OK.*pan 1000
tilt -500
pt-get: OK.*0010  DE AD BE EF.*speed 200" _BACKTRACE_TRIPLES "/work/main/tests/CMakeLists.txt;74;add_test;/work/main/tests/CMakeLists.txt;0;")
add_test([=[ptzctl_refusal_explained]=] "/work/main/build/tools/ptzctl/ptzctl" "--sim" "preset-go" "7")
set_tests_properties([=[ptzctl_refusal_explained]=] PROPERTIES  PASS_REGULAR_EXPRESSION "preset-go: FAILED; last error kind 0 \\(response\\), code 1102: the head refused" _BACKTRACE_TRIPLES "/work/main/tests/CMakeLists.txt;79;add_test;/work/main/tests/CMakeLists.txt;0;")
add_test([=[ptzctl_bad_argument]=] "/work/main/build/tools/ptzctl/ptzctl" "--sim" "speed-get" "1")
set_tests_properties([=[ptzctl_bad_argument]=] PROPERTIES  PASS_REGULAR_EXPRESSION "rejected argument" _BACKTRACE_TRIPLES "/work/main/tests/CMakeLists.txt;82;add_test;/work/main/tests/CMakeLists.txt;0;")
add_test([=[install_and_consume]=] "/work/main/tests/check_install.sh" "/work/main/build")
set_tests_properties([=[install_and_consume]=] PROPERTIES  PASS_REGULAR_EXPRESSION "both work" _BACKTRACE_TRIPLES "/work/main/tests/CMakeLists.txt;86;add_test;/work/main/tests/CMakeLists.txt;0;")
add_test([=[python_binding]=] "/usr/bin/python3" "-m" "pytest" "-q" "-p" "no:cacheprovider" "/work/main/python/tests")
set_tests_properties([=[python_binding]=] PROPERTIES  ENVIRONMENT "PTZ_LIBRARY=/work/main/build/libptz.so.1.0.0;PTZ_SIM_BIN=/work/main/build/sim/ptz-sim;PYTHONPATH=/work/main/python" _BACKTRACE_TRIPLES "/work/main/tests/CMakeLists.txt;94;add_test;/work/main/tests/CMakeLists.txt;0;")
