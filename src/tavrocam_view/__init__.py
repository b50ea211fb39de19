"""A live view of the acA2040-55uc in the browser: ``tavrocam-view``.

A local web page, served on 127.0.0.1 with a random token, shows the
camera's live image, a histogram per channel and the fourteen feature groups
of the ``Tavrocam`` module, each setter a control; an ROI is drawn on the
image. ``tavrocam-view --simulate`` shows a simulated camera. Needs the
``view`` extra: ``pip install "tavrocam[view]"``.
"""

__all__ = ["main"]


def main(argv=None) -> int:
    """Run the view as the command ``tavrocam-view`` does; the exit status."""
    from .cli import main as run

    return run(argv)
