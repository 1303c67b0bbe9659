zolviai_python_module(py_coderunner zolviai.coderunner ${CMAKE_CURRENT_SOURCE_DIR}/coderunner.cpp)
zolviai_python_module(py_master zolviai.master ${CMAKE_CURRENT_SOURCE_DIR}/master.cpp)
