import os

from hypothesis import HealthCheck, settings

# Sanitizer builds run several times slower: fewer examples there.
settings.register_profile("default", max_examples=200, deadline=None)
settings.register_profile(
    "sanitize", max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))
