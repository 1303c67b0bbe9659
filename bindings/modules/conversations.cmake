# Conversations: the state database's store and questions asked as turns.
zolviai_python_module(py_conversations zolviai._conversations
    ${CMAKE_CURRENT_SOURCE_DIR}/conversations.cpp)
target_link_libraries(py_conversations PRIVATE zolviai_agent zolviai_state)
