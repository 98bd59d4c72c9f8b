#!/bin/sh
# The normal application of this image: it only says that it started.
echo "normal application started"
