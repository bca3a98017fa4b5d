#!/usr/bin/env bash
echo "emulator not built yet" >&2; exit 1
