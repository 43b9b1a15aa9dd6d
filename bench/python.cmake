# Python frame sending: `cmake --build build --target python_bench` runs it against the modules in the build tree.
if(TARGET _krv AND TARGET mirrorkit)
  add_custom_target(python_bench
    COMMAND ${KRV_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/python_send.py --libdir ${CMAKE_BINARY_DIR}/lib
            --pythonpath ${KRV_PYTHON_BUILD_DIR}
    DEPENDS _krv mirrorkit
    COMMENT "Python frame sending: mirrorkit against ctypes"
    USES_TERMINAL
    VERBATIM)
endif()
