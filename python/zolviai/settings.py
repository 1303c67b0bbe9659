"""Settings records of the Azure OpenAI deployments the flow uses.

A record's attribute map (``vars(obj)``) holds exactly the four fields and becomes the
keyword settings of the deployment's chat models, so the records are plain Python objects.
"""


class _DeploymentSettings:
    """The settings of one Azure OpenAI deployment."""

    def __init__(self, *, azure_deployment=None, azure_endpoint=None, api_key=None, api_version=None):
        self.azure_deployment = azure_deployment
        self.azure_endpoint = azure_endpoint
        self.api_key = api_key
        self.api_version = api_version

    def __repr__(self):
        # Never shows the key.
        return "{}(azure_deployment={!r}, azure_endpoint={!r}, api_version={!r})".format(
            type(self).__name__, self.azure_deployment, self.azure_endpoint, self.api_version)


class AzureOpenAIChat35(_DeploymentSettings):
    """The deployment for every model role of the flow but SQL generation."""


class AzureOpenAIChat4(_DeploymentSettings):
    """The deployment for SQL generation."""
