"""The settings a unit takes, and the level policy; the same table as the C
header include/vontrel_limits.h (a test checks that they agree).

A level is used only in Mode.LEVEL. It is taken when it is a multiple of
LEVEL_STEP within the calibrated range of the frequency it is programmed at,
Status.level_min to Status.level_max; at a new frequency that range is known
only once programmed there, so a level found outside it is undone again."""

FREQ_MIN_MHZ = 300.0
FREQ_MAX_MHZ = 5000.0
LEVEL_STEP = 0.25
ATTEN_CODE_MAX = 127
ATTEN_MAX = 31.75
LEVEL_MIN = -31.75
LEVEL_MAX = 63.75
MODE_MAX = 3
MODE_LEVEL = 3
SWITCH_MAX = 4
BYTE_MAX = 255
LOCK_TIMEOUT_DEFAULT_S = 1.0
LOCK_POLL_S = 0.01
TIMEOUT_MAX_S = 3600.0
DWELL_MAX_S = 3600.0
SWEEP_POINTS_MAX = 100000


def on_step(value):
    """Whether value is a whole number of LEVEL_STEP."""
    steps = value / LEVEL_STEP
    return steps == int(steps)
