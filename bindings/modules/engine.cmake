# The engine under zolviai.connect: the question engine, the guarded database, and the
# library's log routed to Python's logging.
zolviai_python_module(py_engine zolviai._engine ${CMAKE_CURRENT_SOURCE_DIR}/engine.cpp)
target_link_libraries(py_engine PRIVATE zolviai_agent spdlog::spdlog fmt::fmt)
target_compile_definitions(py_engine PRIVATE ZOLVIAI_VERSION="${PROJECT_VERSION}")
