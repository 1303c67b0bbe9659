from typing import Optional

class _DeploymentSettings:
    azure_deployment: Optional[str]
    azure_endpoint: Optional[str]
    api_key: Optional[str]
    api_version: Optional[str]
    def __init__(self, *, azure_deployment: Optional[str] = None, azure_endpoint: Optional[str] = None,
                 api_key: Optional[str] = None, api_version: Optional[str] = None) -> None: ...

class AzureOpenAIChat35(_DeploymentSettings): ...
class AzureOpenAIChat4(_DeploymentSettings): ...
