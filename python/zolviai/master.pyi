from typing import Optional
from zolviai.coderunner import (initialize_environment as initialize_environment,
                                ensure_virtual_environment as ensure_virtual_environment,
                                install_defaults as install_defaults,
                                install_dependencies as install_dependencies,
                                execute_code as execute_code)

def initialize_env(env_path: Optional[str]) -> None: ...
def safe_install_modules(module_names: list[str]) -> None: ...
