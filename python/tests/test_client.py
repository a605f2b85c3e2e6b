import asyncio
import ipaddress
import time

import pytest

import nyxapi
from conftest import drain, wait_event
from nyxapi import AudioInterface, Change, Result, State, Status

ETHERNET = nyxapi.Interface("Ethernet 2", bytes.fromhex("001DC15A3001"))
WLAN = nyxapi.Interface("WLAN-Gerät", bytes.fromhex("3C22FB847E12"))
BUILT_IN = {  # nyx-sim's state at its start
    "state": State.CONNECTED, "server_version": nyxapi.Version(4, 2, 1, 37), "running": False,
    "status": Status.STOPPED, "interface": ETHERNET, "channel_count": 8,
    "audio_interface": AudioInterface.ASIO, "corvo_latency_ms": 1, "asio_buffer_size": 256,
    "asio_encoding": 24, "asio_latency_ms": 5, "device_name": "Studio-PC-Nyx",
    "network_status": nyxapi.NetworkStatus(True, 1000, ipaddress.IPv4Address("192.168.1.42")),
    "device_lock_status": 0, "domain_info": nyxapi.DomainInfo(False, False, True, ""),
    "available_interfaces": [ETHERNET, WLAN, nyxapi.Interface("vEthernet (Default Switch)",
                                                              bytes.fromhex("02155DA34C07"))],
    "available_channel_counts": [2, 4, 8, 16, 32, 64],
    "available_audio_interfaces": [AudioInterface.WDM, AudioInterface.ASIO],
    "available_asio_buffer_sizes": [32, 64, 128, 256, 512, 1024, 2048],
    "available_asio_encodings": [16, 24, 32], "available_asio_latencies_ms": [1, 2, 5, 10, 20],
    "available_corvo_latencies_ms": [1, 2, 5, 10, 20], "request_in_progress": False,
}


def test_connect_reports_everything(sim):
    with nyxapi.Client() as nyx:
        nyx.wait_connected(5)
        assert drain(nyx) == Change(0x6FFF9)


@pytest.mark.parametrize("name", BUILT_IN)
def test_property(nyx, name):
    assert getattr(nyx, name) == BUILT_IN[name]


def test_sets_that_succeed(nyx):
    nyx.set_channel_count(16)
    assert nyx.channel_count == 16
    assert [str(e) for e in nyx.events(timeout=0.2)] == ["REQUEST_COMPLETED result=SUCCESS",
                                                         "CHANNEL_COUNT"]
    nyx.set_interface("3c:22:fb:84:7e:12")
    assert nyx.interface == WLAN
    nyx.set_running(True, wait=False)  # returns once sent; the outcome is an event
    assert wait_event(nyx, Change.REQUEST_COMPLETED).result == Result.SUCCESS
    assert wait_event(nyx, Change.RUNNING) and nyx.status == Status.RUNNING


def test_set_the_manager_refuses(nyx, sim):
    sim.ask("status 0x0101")  # the next reply says Invalid Data
    with pytest.raises(nyxapi.InvalidDataError) as refused:
        nyx.set_channel_count(16)
    assert refused.value.from_manager and refused.value.result == Result.INVALID_DATA
    assert nyx.channel_count == 8 and not nyx.request_in_progress

    sim.ask("noreply on")
    with pytest.raises(TimeoutError):
        nyx.set_channel_count(16, timeout=0.2)
    assert not nyx.request_in_progress  # cancelled, so the next one can go


def test_sets_refused_locally(nyx, sim):
    nyx.set_audio_interface(AudioInterface.WDM)
    sim.ask("lock 1")
    wait_event(nyx, Change.DEVICE_LOCK_STATUS)
    for call, error in [
        (lambda: nyx.set_channel_count(16), nyxapi.InvalidStateError),  # WDM
        (lambda: nyx.set_audio_interface(AudioInterface.NONE), nyxapi.InvalidParameterError),
        (lambda: nyx.set_interface("Token Ring"), nyxapi.InvalidDataError),
        (lambda: nyx.set_asio_encoding(1 << 16), ValueError),
        (lambda: nyx.set_channel_count("8"), TypeError),
        (lambda: nyx.set_running(True), nyxapi.AccessDeniedError),  # locked
    ]:
        with pytest.raises(error) as refused:
            call()
        assert not getattr(refused.value, "from_manager", False)
    assert not nyx.request_in_progress

    sim.ask("noreply on")
    nyx.set_audio_interface(AudioInterface.ASIO, wait=False)
    with pytest.raises(nyxapi.InvalidStateError, match="in flight"):
        nyx.set_corvo_latency_ms(5)


def test_events_on_pushed_changes(nyx, sim):
    sim.ask("name Regie-2")
    assert wait_event(nyx, Change.DEVICE_NAME).result == Result.SUCCESS
    assert nyx.device_name == "Regie-2"
    drain(nyx)

    async def follow():
        asyncio.get_running_loop().call_later(0.1, sim.ask, "error 0x0301")
        async for event in nyx.aevents(timeout=2):  # woken by the worker
            if event.changes & Change.STATUS:
                return nyx.status

    assert asyncio.run(follow()) == Status.PTP_MISSING


def test_manager_goes_away_and_comes_back(nyx, sim):
    sim.ask("socket stop")
    lost = wait_event(nyx, Change.STATE, timeout=10)
    assert lost.changes & Change.INFO and nyx.state == State.DISCONNECTED
    assert nyx.available_channel_counts == [] and nyx.device_name == "Studio-PC-Nyx"
    with pytest.raises(nyxapi.InvalidStateError):
        nyx.set_running(True)

    sim.ask("socket start")
    nyx.wait_connected(timeout=10)
    assert {name: getattr(nyx, name) for name in BUILT_IN} == BUILT_IN


def test_context_manager_cleans_up_on_an_exception(sim):
    def clients(count):  # whether nyx-sim comes to serve that many within a second
        for _ in range(50):
            if f"{count} client(s)" in sim.ask("clients"):
                return True
            time.sleep(0.02)
        return False

    with pytest.raises(ZeroDivisionError):
        with nyxapi.Client() as nyx:
            nyx.wait_connected(5)
            assert clients(1)
            1 / 0
    assert nyx.closed and clients(0)  # it said goodbye
    with pytest.raises(ValueError, match="closed"):
        nyx.channel_count
