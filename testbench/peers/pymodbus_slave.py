#!/usr/bin/python3
"""pymodbus_slave.py - a pymodbus 3.0 Modbus RTU slave that stands in for a field device on
a bench line (the relay port of qmfieldsim -p). Holding registers default to those of the
reference device: 0 = 0x0123, 1..2 = 0x4142 0x1EE3, 6 = 0x0107.

    pymodbus_slave.py PORT ADDRESS [--baud 9600] [--reg START=V,V,...] [--ready FILE]

Runs with Debian's python3-pymodbus (/usr/bin/python3). Settings that make pymodbus 3.0 a
faithful RTU slave: framer ModbusRtuFramer (it defaults to ASCII), zero_mode=True (register
addresses are not shifted by one), single=False (it answers only its own address).
"""
import argparse
import asyncio
import os
import signal
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.server.async_io import ModbusSerialServer

DEFAULT_REGS = {0: 0x0123, 1: 0x4142, 2: 0x1EE3, 6: 0x0107}


def parse_args():
    p = argparse.ArgumentParser(description="pymodbus RTU slave for the bench line")
    p.add_argument("port")
    p.add_argument("address", type=int)
    p.add_argument("--baud", type=int, default=9600)
    p.add_argument("--reg", action="append", default=[],
                   help="START=V1,V2,... (numbers in C notation); replaces the defaults")
    p.add_argument("--ready", help="file written once the port is open")
    return p.parse_args()


def registers(reg_args):
    if not reg_args:
        return dict(DEFAULT_REGS)
    regs = {}
    for arg in reg_args:
        start, values = arg.split("=", 1)
        for i, v in enumerate(values.split(",")):
            regs[int(start, 0) + i] = int(v, 0) & 0xFFFF
    return regs


async def serve(args):
    regs = registers(args.reg)
    table = [regs.get(i, 0) for i in range(max(regs) + 64)]
    slave = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, table),
                               ir=ModbusSequentialDataBlock(0, table), zero_mode=True)
    context = ModbusServerContext(slaves={args.address: slave}, single=False)
    server = ModbusSerialServer(context, ModbusRtuFramer, port=args.port, baudrate=args.baud,
                                bytesize=8, parity="N", stopbits=1,
                                ignore_missing_slaves=True)
    await server.start()
    if server.transport is None:
        print("pymodbus_slave: cannot open " + args.port, file=sys.stderr)
        return 1
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    if args.ready:
        with open(args.ready + ".tmp", "w") as f:
            f.write("%d\n" % os.getpid())
        os.rename(args.ready + ".tmp", args.ready)
    await stop.wait()
    await server.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(serve(parse_args())))
