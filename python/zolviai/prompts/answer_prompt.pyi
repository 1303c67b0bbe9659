final_node_prompt: str
