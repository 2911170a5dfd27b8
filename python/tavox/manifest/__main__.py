"""``python -m tavox.manifest MANIFEST.tem [options]``: run one job."""
from tavox.manifest.runtime import main

main()
