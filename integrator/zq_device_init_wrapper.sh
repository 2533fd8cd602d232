# Placeholder for the device's initialisation script. No interpreter line: the
# shell that runs it, /system/bin/sh or /bin/sh, reads it itself.
echo "zq_device_init: device initialised"
