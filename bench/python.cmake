# Python calls against ctypes calls of the same exports: `cmake --build build --target python_bench` runs it
# against the modules in the build tree.
if(TARGET _krv AND TARGET mirrorkit AND TARGET krv_testdata)
  add_custom_target(python_bench
    COMMAND ${KRV_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/python_calls.py --libdir ${CMAKE_BINARY_DIR}/lib
            --pythonpath ${KRV_PYTHON_BUILD_DIR} --testdata ${KRV_TESTDATA_DIR}
    DEPENDS _krv mirrorkit krv_testdata KRV_OpenLoop4
    COMMENT "Python calls: mirrorkit against ctypes"
    USES_TERMINAL
    VERBATIM)
endif()
