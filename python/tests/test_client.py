"""The client against nyx-sim (run under tools/netns-run)."""

import asyncio
import gc
import ipaddress
import logging
import time

import pytest

import nyxapi
from conftest import drain, wait_event
from nyxapi import AudioInterface, Change, Result, State, Status

ETHERNET = nyxapi.Interface("Ethernet 2", bytes.fromhex("001DC15A3001"))
WLAN = nyxapi.Interface("WLAN-Gerät", bytes.fromhex("3C22FB847E12"))


def test_connect_reports_everything(sim):
    with nyxapi.Client() as nyx:
        nyx.wait_connected(5)
        assert drain(nyx) == Change(0x6FFF9)
        check_built_in_state(nyx)


def check_built_in_state(nyx):
    assert nyx.state == State.CONNECTED
    assert str(nyx.server_version) == "4.2.1.37"
    assert (nyx.running, nyx.status, nyx.interface) == (False, Status.STOPPED, ETHERNET)
    assert nyx.interface.mac_text == "00:1D:C1:5A:30:01"
    assert (nyx.channel_count, nyx.audio_interface, nyx.corvo_latency_ms) == (8, AudioInterface.ASIO, 1)
    assert (nyx.asio_buffer_size, nyx.asio_encoding, nyx.asio_latency_ms) == (256, 24, 5)
    assert nyx.network_status == nyxapi.NetworkStatus(True, 1000, ipaddress.IPv4Address("192.168.1.42"))
    assert nyx.device_name == "Studio-PC-Nyx" and nyx.device_lock_status == 0
    assert nyx.domain_info == nyxapi.DomainInfo(False, False, True, "")
    assert nyx.available_interfaces[:2] == [ETHERNET, WLAN] and len(nyx.available_interfaces) == 3
    assert nyx.available_channel_counts == [2, 4, 8, 16, 32, 64]
    assert nyx.available_audio_interfaces == [AudioInterface.WDM, AudioInterface.ASIO]
    assert nyx.available_asio_buffer_sizes == [32, 64, 128, 256, 512, 1024, 2048]
    assert nyx.available_asio_encodings == [16, 24, 32]
    assert nyx.available_asio_latencies_ms == nyx.available_corvo_latencies_ms == [1, 2, 5, 10, 20]
    assert not nyx.request_in_progress


def test_sets_that_succeed(nyx):
    nyx.set_channel_count(16)
    assert nyx.channel_count == 16
    assert [str(e) for e in nyx.events(timeout=0.2)] == ["REQUEST_COMPLETED result=SUCCESS",
                                                         "CHANNEL_COUNT"]
    nyx.set_interface("WLAN-Gerät")
    nyx.set_interface("00:1d:c1:5a:30:01")
    nyx.set_corvo_latency_ms(5)
    assert (nyx.interface, nyx.corvo_latency_ms) == (ETHERNET, 5)

    nyx.set_running(True, wait=False)  # returns once sent; the outcome is an event
    assert wait_event(nyx, Change.REQUEST_COMPLETED).result == Result.SUCCESS
    assert wait_event(nyx, Change.RUNNING) and nyx.running and nyx.status == Status.RUNNING
    nyx.set_asio_buffer_size(512)  # ASIO changes are taken while running
    assert nyx.asio_buffer_size == 512


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
    sim.ask("noreply off")
    nyx.set_channel_count(32)
    assert nyx.channel_count == 32


def test_sets_refused_locally(nyx, sim):
    nyx.set_audio_interface(AudioInterface.WDM)
    refusals = [
        (lambda: nyx.set_channel_count(16), nyxapi.InvalidStateError),  # WDM
        (lambda: nyx.set_asio_latency_ms(5), nyxapi.InvalidStateError),
        (lambda: nyx.set_audio_interface(AudioInterface.NONE), nyxapi.InvalidParameterError),
        (lambda: nyx.set_corvo_latency_ms(3), nyxapi.InvalidDataError),
        (lambda: nyx.set_interface("Token Ring"), nyxapi.InvalidDataError),
        (lambda: nyx.set_interface(bytes(6)), nyxapi.InvalidDataError),
        (lambda: nyx.set_channel_count(-1), ValueError),
        (lambda: nyx.set_asio_encoding(1 << 16), ValueError),
        (lambda: nyx.set_interface(b"\1\2\3"), ValueError),
        (lambda: nyx.set_channel_count("8"), TypeError),
    ]
    sim.ask("lock 1")
    wait_event(nyx, Change.DEVICE_LOCK_STATUS)
    refusals.append((lambda: nyx.set_running(True), nyxapi.AccessDeniedError))
    for call, error in refusals:
        with pytest.raises(error) as refused:
            call()
        assert not getattr(refused.value, "from_manager", False)
    assert not nyx.request_in_progress and nyx.audio_interface == AudioInterface.WDM

    sim.ask("noreply on")
    nyx.set_audio_interface(AudioInterface.ASIO, wait=False)
    with pytest.raises(nyxapi.InvalidStateError, match="in flight"):
        nyx.set_channel_count(16)
    with pytest.raises(nyxapi.InvalidStateError):
        nyx.set_channel_count(16, wait=False)
    nyx.cancel_request()
    assert not nyx.request_in_progress


def test_events_on_pushed_changes(nyx, sim):
    sim.ask("name Regie-2")
    assert wait_event(nyx, Change.DEVICE_NAME).result == Result.SUCCESS
    assert nyx.device_name == "Regie-2"
    sim.ask("link down")
    wait_event(nyx, Change.NETWORK_STATUS)
    assert not nyx.network_status.link_up
    sim.ask("domain Studio locked")
    wait_event(nyx, Change.DOMAIN)
    assert nyx.domain_info == nyxapi.DomainInfo(True, True, False, "Studio")
    drain(nyx)

    async def follow():
        asyncio.get_running_loop().call_later(0.1, sim.ask, "error 0x0301")
        async for event in nyx.aevents(timeout=2):  # woken by the worker
            if event.changes & Change.STATUS:
                return nyx.status, [e async for e in nyx.aevents(timeout=0.1)]

    assert asyncio.run(follow()) == (Status.PTP_MISSING, [])


def test_manager_goes_away_and_comes_back(nyx, sim):
    sim.ask("socket stop")
    lost = wait_event(nyx, Change.STATE, timeout=10)
    assert lost.changes & Change.INFO and nyx.state == State.DISCONNECTED
    assert nyx.available_channel_counts == [] and str(nyx.server_version) == "0.0.0.0"
    assert nyx.device_name == "Studio-PC-Nyx"  # kept
    with pytest.raises(nyxapi.InvalidStateError):
        nyx.set_running(True)

    sim.ask("socket start")
    nyx.wait_connected(timeout=10)
    check_built_in_state(nyx)


def clients(sim, count: int) -> bool:
    """Whether nyx-sim comes to serve ``count`` clients within a second."""
    for _ in range(50):
        if f"{count} client(s)" in sim.ask("clients"):
            return True
        time.sleep(0.02)
    return False


def test_clean_up(sim, netns):
    with pytest.raises(ZeroDivisionError):
        with nyxapi.Client() as nyx:
            nyx.wait_connected(5)
            assert clients(sim, 1)
            1 / 0
    assert nyx.closed and all(nyx.events(timeout=None))  # ends, no more to wait for
    with pytest.raises(ValueError, match="closed"):
        nyx.channel_count
    nyx.close()  # again: nothing happens
    assert clients(sim, 0)  # it said goodbye

    lost = nyxapi.Client()
    assert lost.state == State.IDLE
    with pytest.raises(nyxapi.InvalidStateError):
        lost.wait_connected(1)
    lost.start()
    lost.wait_connected(5)
    assert clients(sim, 1)
    del lost
    gc.collect()
    assert clients(sim, 0) and not nyxapi.client._open


def test_a_failing_event_function_stays_in_python(nyx, sim, caplog):
    with pytest.MonkeyPatch.context() as patch, caplog.at_level(logging.ERROR, "nyxapi"):
        patch.setattr(nyxapi.client, "Event", None)  # the event function now fails
        sim.ask("name A")
        for _ in range(100):
            if "event dropped" in caplog.text:
                break
            time.sleep(0.02)
    assert "event dropped" in caplog.text
    sim.ask("name B")  # the worker went on
    wait_event(nyx, Change.DEVICE_NAME)
    assert nyx.device_name == "B"
