zolviai_python_module(py_memory zolviai.memory_native ${CMAKE_CURRENT_SOURCE_DIR}/memory.cpp)
target_link_libraries(py_memory PRIVATE zolviai_agent)
# The memory keeps its entries in the state database's library, laid out beside the others.
add_custom_command(TARGET py_memory POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:zolviai_state> ${package_dir}/)
