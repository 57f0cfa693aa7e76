# The unit test programs that also run on the router, each declared once:
#
#   qx_unit_program(<name> [CASES] SOURCES <files under tests/> LIBRARIES <libraries>)
#
# The host build (tests/unit/CMakeLists.txt) and the router build (cmake/qx_target_tests.cmake)
# each define qx_unit_program and include this list; the router build provides GTest::gtest_main
# and udtool_writer of its own. CASES: one ctest test per case on the host.
qx_unit_program(cleanup_names_test CASES SOURCES unit/cleanup_names_test.cpp
                LIBRARIES upgrader_cleanup GTest::gtest_main)
qx_unit_program(driver_run_commands_test CASES SOURCES unit/run_commands_test.cpp
                LIBRARIES upgrader_driver GTest::gtest_main)
# Defines MountFreeSpace itself, so it links no more of the library than cleanup_base.cpp.
qx_unit_program(cleanup_base_test CASES SOURCES cleanup/cleanup_base_test.cpp
                LIBRARIES upgrader_cleanup GTest::gtest_main)
qx_unit_program(container_test SOURCES container/md5_test.cpp container/upgrade_file_test.cpp
                LIBRARIES upgrade_container udtool_writer GTest::gtest_main)
