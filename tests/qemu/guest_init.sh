#!/bin/busybox sh
# /init of the guest (see README.md). Loads the serial and 9p drivers, runs
# velorix-archive as a user would on a machine with no settings and no
# VELORIX_COM* variables, and leaves what it saw in /results (a 9p share of
# the host's). The scenario comes from the kernel command line:
#   velorix.scenario=ftdi   instrument on the FTDI adapter, UART silent
#   velorix.scenario=uart   instrument on the UART, no adapter at all
#   velorix.count=N         records to read

/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

say() { echo "guest: $*"; }

while read -r module; do
  insmod "/lib/modules/$module" || say "insmod $module failed"
done </lib/modules/load-order

mkdir -p /results
if ! mount -t 9p -o trans=virtio,version=9p2000.L results /results; then
  say "the results share did not mount"
  poweroff -f
fi
R=/results
dmesg >$R/dmesg-start.txt

scenario=$(sed -n 's/.*velorix\.scenario=\([a-z]*\).*/\1/p' /proc/cmdline)
count=$(sed -n 's/.*velorix\.count=\([0-9]*\).*/\1/p' /proc/cmdline)
say "scenario $scenario, $count records"
latency=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer
if [ "$scenario" = ftdi ]; then
  i=0
  while [ ! -e $latency ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i + 1)); done
  # A real FT232 starts at 16 ms; QEMU's model at 0.
  echo 16 >$latency
  cat $latency >$R/latency-before.txt
fi

# Any write through a tty's node moves its time: the console's must stay
# put, the UART's (probed in both scenarios) must move.
touch -t 197001010000 /dev/ttyS0 /dev/ttyS1
stat -c '%n atime %X mtime %Y' /dev/ttyS0 /dev/ttyS1 >$R/nodes-before.txt 2>&1

# A program that hangs must not hold the guest (and the host's run) up.
run() {
  timeout 60 env -i PATH=/bin HOME=/ /velorix/velorix-archive "$@"
}

run --list-ports >$R/list-ports.txt 2>&1
echo $? >$R/list-ports-status.txt

mkdir /fresh && cd /fresh
run --count "$count" --format xls --output /fresh/out.xls 2>$R/stderr.txt &
pid=$!
while kill -0 $pid 2>/dev/null; do
  [ -e $latency ] && cat $latency >>$R/latency-during.txt
  sleep 0.02
done
wait $pid
echo $? >$R/exit-status.txt
[ -e $latency ] && cat $latency >$R/latency-after.txt
cp /fresh/out.xls /fresh/Velquor.ini $R/ 2>/dev/null
cd /

lines=/dev/ttyS1
[ "$scenario" = ftdi ] && lines="$lines /dev/ttyUSB0"
# shellcheck disable=SC2086
/velorix/velorix-serial-check $lines >$R/serial-check.txt 2>&1
echo $? >$R/serial-check-status.txt

stat -c '%n atime %X mtime %Y' /dev/ttyS0 /dev/ttyS1 >$R/nodes-after.txt 2>&1
stat -c '%Y' /dev/ttyS0 >$R/console-node-mtime.txt
stat -c '%Y' /dev/ttyS1 >$R/uart-node-mtime.txt
dmesg >$R/dmesg.txt
echo done >$R/finished.txt
say "finished"
sync
umount /results
poweroff -f
