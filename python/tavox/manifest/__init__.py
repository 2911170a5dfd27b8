"""Job manifests: the manifest loader (``tavox.manifest.manifest``) and the
runtime that runs a job from one (``python -m tavox.manifest``)."""
