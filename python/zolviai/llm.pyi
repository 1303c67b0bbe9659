from typing import Any, Optional

class ChatModel:
    def invoke(self, input: str | list[Any]) -> str: ...

class AzureChatOpenAI(ChatModel):
    def __init__(self, **kwargs: Any) -> None: ...
    azure_deployment: str
    azure_endpoint: str
    max_tokens: Optional[int]
    temperature: Optional[float]
    model_kwargs: dict[str, Any]

class ChatOpenAI(ChatModel):
    def __init__(self, *, openai_api_key: Optional[str] = None, model: Optional[str] = None,
                 temperature: Optional[float] = None, base_url: Optional[str] = None,
                 max_tokens: Optional[int] = None) -> None: ...
    model_name: str
    temperature: Optional[float]

class UsageCallback:
    total_tokens: int
    prompt_tokens: int
    completion_tokens: int
    successful_requests: int
    total_cost: float
    def __enter__(self) -> UsageCallback: ...
    def __exit__(self, *args: Any) -> None: ...

def get_openai_callback() -> UsageCallback: ...
