"""The two ways a session fails."""


class HarnessError(RuntimeError):
    """The harness itself could not do a step: a display, a device or a program that did not
    start, an input that could not be sent."""


class StepFailed(AssertionError):
    """A step of a run did not see what it expected; the message tells the whole story."""
