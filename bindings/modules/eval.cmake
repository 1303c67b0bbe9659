# The evaluation harness: its own library, above the agent.
zolviai_python_module(py_eval zolviai.eval ${CMAKE_CURRENT_SOURCE_DIR}/eval.cpp)
target_link_libraries(py_eval PRIVATE zolviai_eval)
