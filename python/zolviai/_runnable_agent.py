"""The agent variant zolviai.agent offers hosts that drive a runnable with an agent executor."""


class CustomRunnableAgent:
    """Holds a runnable; plan() invokes it once with the inputs and the steps so far."""

    __module__ = "zolviai.agent"  # where hosts import it from

    def __init__(self, runnable, **kwargs):
        self.runnable = runnable
        for key, value in kwargs.items():
            setattr(self, key, value)

    def plan(self, intermediate_steps, callbacks, **kwargs):
        inputs = {**kwargs, "intermediate_steps": intermediate_steps}
        return self.runnable.invoke(inputs, {"callbacks": callbacks})
