"""A first look at jorvane."""

import jorvane

print(f"jorvane {jorvane.__version__}")
print("registered names:", ", ".join(jorvane.__all__))
