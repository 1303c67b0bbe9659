zolviai_python_module(py_dbtool zolviai.dbtool ${CMAKE_CURRENT_SOURCE_DIR}/dbtool.cpp)
