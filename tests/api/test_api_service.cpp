// The handle against the simulated manager running in this process: connection, events,
// cache, setters and their preconditions, loss of the manager and reconnection.
#include "service_fixture.h"

namespace {

TEST_F(ApiService, ConnectsOnlyWithVersionOptionsAndStateAndFillsTheCache) {
    connect();
    std::vector<Event> events = rec.since(0);
    EXPECT_NE(events[0].changes & NYXAPI_CHANGE_STATE, 0u); // away from IDLE
    for (const Event &e : events) {
        EXPECT_TRUE(e.well_formed);
        EXPECT_EQ(e.result, NYXAPI_SUCCESS);
    }
    NyxApiChanges seen = rec.all_changes();
    // Every value of the defaults differs from the empty cache, except running and the lock.
    EXPECT_EQ(seen, 0xFFFFFu & ~(NYXAPI_CHANGE_REQUEST_COMPLETED | NYXAPI_CHANGE_RUNNING |
                                 0x10000u | NYXAPI_CHANGE_DEVICE_LOCK_STATUS))
        << std::hex << seen;
    EXPECT_EQ(cache_text(api),
              "version 4.2.1.37 running 0 status 17 if Ethernet 2/001dc15a3001 channels 8 audio 2 "
              "asio 256/24/5 corvo 1 link 1/1000/192.168.1.42 name Studio-PC-Nyx domain 001/ "
              "lock 0 | interfaces Ethernet 2/001dc15a3001,WLAN-Ger\xe4t/3c22fb847e12,"
              "vEthernet (Default Switch)/02155da34c07, channels 2,4,8,16,32,64, audio 1,2, "
              "asio 32,64,128,256,512,1024,2048,/16,24,32,/1,2,5,10,20, corvo 1,2,5,10,20,");

    // The list convention: capacity in, total out, never more copied than fits.
    const std::vector<uint32_t> sizes = {32, 64, 128, 256, 512, 1024, 2048};
    for (uint64_t capacity : {0u, 2u, 10u}) {
        std::vector<uint32_t> out(10, 0xDEAD), want(10, 0xDEAD);
        std::copy_n(sizes.begin(), std::min<uint64_t>(capacity, sizes.size()), want.begin());
        uint64_t count = capacity;
        EXPECT_EQ(NyxApiAvailableASIOBufferSizes(api, &count, out.data()), NYXAPI_SUCCESS);
        EXPECT_EQ(count, sizes.size());
        EXPECT_EQ(out, want) << capacity;
    }
}

// The test plays the manager itself, to hand over the version, options and state one by one.
TEST(ApiConnectionRule, ConnectedOnlyWithVersionOptionsAndStateAllKnown) {
    nyxsim_model model;
    nyxsim_model_defaults(&model);
    vtr_address here = {}, client = {};
    vtr_socket sock = VTR_SOCKET_INVALID;
    ASSERT_EQ(vtr_address_set_ipv4(&here, VTR_AF_INET, "127.0.0.1", 8899), VTR_SUCCESS);
    ASSERT_EQ(vtr_socket_open_udp(&sock, VTR_AF_INET), VTR_SUCCESS);
    ASSERT_EQ(vtr_socket_bind(sock, &here), VTR_SUCCESS);
    ASSERT_EQ(vtr_socket_set_blocking(sock, false), VTR_SUCCESS);
    sbcp2_message msg;
    sbcp2_message_init_record(&msg);
    // 0: the connect reply with the version, 1: the options event, 2: the state event.
    auto send = [&](int what, uint16_t seqnum, bool body) {
        sbcp2_message_init_head(&msg, 0x1400, what == 0 ? 1 : what == 1 ? 0x0100 : 0x0102);
        sbcp2_message_set_status(sbcp2_message_head(&msg), what == 0 ? 1 : 2);
        sbcp2_message_set_seqnum(sbcp2_message_head(&msg), seqnum);
        EXPECT_EQ(!body       ? VTR_SUCCESS
                  : what == 0 ? nyxsim_encode_server_version(&msg, &model.version)
                  : what == 1 ? nyxsim_encode_system_options(&msg, &model.options)
                              : nyxsim_encode_system_state(&msg, &model.state),
                  VTR_SUCCESS);
        size_t length = sbcp2_message_get_size(sbcp2_message_head(&msg));
        EXPECT_EQ(vtr_socket_sendto(sock, sbcp2_message_head(&msg), &length, &client), VTR_SUCCESS);
    };
    const NyxApiChanges flags[] = {NYXAPI_CHANGE_INFO, NYXAPI_CHANGE_AVAILABLE_INTERFACES,
                                   NYXAPI_CHANGE_CHANNEL_COUNT};
    // Each round leaves one of the three out, then (but for the version) sends it last.
    for (int missing : {0, 1, 2}) {
        SCOPED_TRACE(missing);
        Recorder rec;
        ASSERT_EQ(NyxApiNew(&rec.api), NYXAPI_SUCCESS);
        NyxApiSetContext(rec.api, &rec);
        NyxApiSetEventFn(rec.api, Recorder::on_event);
        ASSERT_EQ(NyxApiStart(rec.api), NYXAPI_SUCCESS);
        uint8_t in[SBCP2_MAX_MESSAGE];
        ASSERT_TRUE(wait_until([&] {
            size_t n = sizeof in;
            return vtr_socket_recvfrom(sock, in, &n, &client) == VTR_SUCCESS &&
                   sbcp2_message_get_opcode(in) == 1;
        }));
        NyxApiChanges sent = 0;
        for (int what : {0, 1, 2}) {
            send(what, what == 0 ? sbcp2_message_get_seqnum(in) : what, what != missing);
            sent |= what != missing ? flags[what] : 0;
        }
        ASSERT_TRUE(wait_until([&] { return (rec.all_changes() & sent) == sent; }));
        EXPECT_EQ(NyxApiGetState(rec.api), NYXAPI_STATE_DISCONNECTED);
        if (missing != 0) {
            send(missing, 3, true);
            EXPECT_GE(rec.wait(0, connected), 0);
        }
        NyxApiDelete(rec.api);
    }
    vtr_socket_close(&sock);
}

TEST_F(ApiService, EverySetterChangesOneFieldOfTheReportedConfiguration) {
    connect();
    // The low 16 bits: 65568 is 32.
    ONE_FIELD(NyxApiSetChannelCount(api, 65536 + 32), c.channels = 32, NYXAPI_CHANGE_CHANNEL_COUNT);
    ONE_FIELD(NyxApiSetASIOBufferSize(api, 64), c.asio.asio_buffer_size = 64,
              NYXAPI_CHANGE_ASIO_PARAMETER);
    ONE_FIELD(NyxApiSetASIOEncoding(api, 32), c.asio.asio_encoding = 32,
              NYXAPI_CHANGE_ASIO_PARAMETER);
    ONE_FIELD(NyxApiSetASIOLatencyMs(api, 10), c.asio.asio_latency_us = 10000,
              NYXAPI_CHANGE_ASIO_PARAMETER);
    ONE_FIELD(NyxApiSetCorvoLatencyMs(api, 2), std::snprintf(c.latency, sizeof c.latency, "2 ms"),
              NYXAPI_CHANGE_CORVO_LATENCY);
    ONE_FIELD(NyxApiSetInterface(api, options_.interfaces[1].mac),
              c.interface = options_.interfaces[1], NYXAPI_CHANGE_INTERFACE);
    ONE_FIELD(NyxApiSetAudioInterface(api, NYXAPI_AUDIO_INTERFACE_WDM),
              c.asio.audio_interface = NYX_AUDIO_INTERFACE_WDM, NYXAPI_CHANGE_AUDIO_INTERFACE);
    // Any non-zero value other than WDM selects ASIO.
    ONE_FIELD(NyxApiSetAudioInterface(api, 3), c.asio.audio_interface = NYX_AUDIO_INTERFACE_ASIO,
              NYXAPI_CHANGE_AUDIO_INTERFACE);
    ONE_FIELD(NyxApiSetRunning(api, true), c.want_to_run = 1, NYXAPI_CHANGE_RUNNING);
    EXPECT_EQ(get<uint32_t>(api, NyxApiGetStatus), 1u);
    ONE_FIELD(NyxApiSetRunning(api, false), c.want_to_run = 0, NYXAPI_CHANGE_RUNNING);

    uint32_t clears = nyxsim_received_count(sim, 0x0113);
    EXPECT_EQ(COMPLETE(NyxApiClearDomainCredentials(api), 0), NYXAPI_SUCCESS);
    EXPECT_EQ(nyxsim_received_count(sim, 0x0113), clears + 1);
}

TEST_F(ApiService, PreconditionsDecideInOrderAndRefuseWithoutSending) {
    connect();
    using R = std::vector<NyxApiResult>;
    const NyxApiResult S = NYXAPI_SUCCESS, IS = NYXAPI_INVALID_STATE, AD = NYXAPI_ACCESS_DENIED;
    const uint8_t unknown_mac[6] = {9, 9, 9, 9, 9, 9};
    // Columns: running, interface, channel count, audio interface, ASIO buffer size, encoding
    // and latency, Corvo latency.
    EXPECT_EQ(try_setters(), (R{S, S, S, S, S, S, S, S}));
    // Choices that the options do not hold, and values that validation rejects.
    EXPECT_EQ((R{NyxApiSetInterface(api, unknown_mac), NyxApiSetCorvoLatencyMs(api, 3),
                 NyxApiSetASIOLatencyMs(api, 3), NyxApiSetChannelCount(api, 7)}),
              R(4, NYXAPI_INVALID_DATA));

    ASSERT_EQ(COMPLETE(NyxApiSetRunning(api, true), NYXAPI_CHANGE_RUNNING), S);
    EXPECT_EQ(try_setters(), (R{S, IS, IS, IS, S, S, S, IS}));
    EXPECT_EQ(NyxApiSetInterface(api, unknown_mac), IS); // the state before the choice
    ASSERT_EQ(COMPLETE(NyxApiSetRunning(api, false), NYXAPI_CHANGE_RUNNING), S);

    ASSERT_EQ(COMPLETE(NyxApiSetAudioInterface(api, NYXAPI_AUDIO_INTERFACE_WDM),
                       NYXAPI_CHANGE_AUDIO_INTERFACE),
              S);
    EXPECT_EQ(try_setters(), (R{S, S, IS, S, IS, IS, IS, S}));
    // A device lock: for the ASIO values the missing ASIO still decides first.
    sim_change("lock 1", NYXAPI_CHANGE_DEVICE_LOCK_STATUS);
    EXPECT_EQ(try_setters(), (R{AD, S, IS, S, IS, IS, IS, S}));
    ASSERT_EQ(COMPLETE(NyxApiSetAudioInterface(api, NYXAPI_AUDIO_INTERFACE_ASIO),
                       NYXAPI_CHANGE_AUDIO_INTERFACE),
              S);
    EXPECT_EQ(try_setters(), (R{AD, S, S, S, AD, AD, AD, S}));
    sim_change("lock 0", NYXAPI_CHANGE_DEVICE_LOCK_STATUS);

    // A reachable domain that forbids configuration locks the same; an unreachable one cannot.
    sim_change("domain corp locked", NYXAPI_CHANGE_DOMAIN);
    EXPECT_EQ(domain_text(api), "110/corp");
    EXPECT_EQ(try_setters(), (R{AD, S, S, S, AD, AD, AD, S}));
    sim_change("domain corp locked offline", NYXAPI_CHANGE_DOMAIN);
    EXPECT_EQ(domain_text(api), "101/corp");
    EXPECT_EQ(try_setters(), (R{S, S, S, S, S, S, S, S}));
}

TEST_F(ApiService, MergesReportOnlyWhatChanged) {
    connect();
    // Latencies read in whole milliseconds; the state's latency is looked up by name.
    sim_change("set latencies = a @ 1000, b @ 1999, c @ 1500",
               NYXAPI_CHANGE_AVAILABLE_CORVO_LATENCIES);
    EXPECT_EQ(list_text(api, NyxApiAvailableCorvoLatenciesMs), "1,1,1,");
    sim_change("set latency = zzz", NYXAPI_CHANGE_CORVO_LATENCY);
    EXPECT_EQ(get<uint32_t>(api, NyxApiGetCorvoLatencyMs), 0u);
    sim_change("set latency = c", NYXAPI_CHANGE_CORVO_LATENCY);
    EXPECT_EQ(get<uint32_t>(api, NyxApiGetCorvoLatencyMs), 1u);
    // Two options of the same microseconds: the first one's name is sent.
    sim_change("set latencies = b @ 2000, a @ 1000, c @ 1000",
               NYXAPI_CHANGE_AVAILABLE_CORVO_LATENCIES);
    EXPECT_EQ(COMPLETE(NyxApiSetCorvoLatencyMs(api, 1), 0), NYXAPI_SUCCESS);
    nyx_system_config sent = {};
    ASSERT_TRUE(nyxsim_last_config(sim, &sent));
    EXPECT_STREQ(sent.latency, "a");

    // No ASIO choices at all still leaves both audio interfaces.
    sim_change("set asio_buffer_sizes = ", NYXAPI_CHANGE_AVAILABLE_ASIO_PARAMETERS);
    sim_change("set asio_latencies = 1500, 2999", NYXAPI_CHANGE_AVAILABLE_ASIO_PARAMETERS);
    EXPECT_EQ(list_text(api, NyxApiAvailableASIOBufferSizes), "");
    EXPECT_EQ(list_text(api, NyxApiAvailableASIOLatenciesMs), "1,2,");
    EXPECT_EQ(list_text(api, NyxApiAvailableAudioInterfaces), "1,2,");

    // The same state again, or a name event alone, raise nothing: the next event is only
    // the link speed.
    size_t mark = rec.size();
    sim_command("push state");
    sim_command("set name = Other-Name");
    sim_change("speed 100", NYXAPI_CHANGE_NETWORK_STATUS);
    std::vector<Event> after = rec.since(mark);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].changes, NYXAPI_CHANGE_NETWORK_STATUS);
    EXPECT_EQ(get<NyxApiNetworkStatus>(api, NyxApiGetNetworkStatus).linkSpeedMbps, 100u);
}

TEST_F(ApiService, OneRequestAtATimeUntilCancelled) {
    connect();
    EXPECT_EQ(NyxApiCancelRequest(api), NYXAPI_SUCCESS); // nothing in flight
    sim_command("noreply on");
    size_t mark = rec.size();
    ASSERT_EQ(NyxApiSetChannelCount(api, 16), NYXAPI_SUCCESS);
    EXPECT_TRUE(in_progress());
    EXPECT_EQ(NyxApiSetChannelCount(api, 32), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiClearDomainCredentials(api), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiCancelRequest(api), NYXAPI_SUCCESS);
    EXPECT_FALSE(in_progress());

    sim_command("noreply off");
    EXPECT_EQ(COMPLETE(NyxApiSetChannelCount(api, 32), NYXAPI_CHANGE_CHANNEL_COUNT),
              NYXAPI_SUCCESS);
    // The cancelled request never raised an event of its own.
    std::vector<Event> after = rec.since(mark);
    EXPECT_EQ(std::count_if(after.begin(), after.end(), with(NYXAPI_CHANGE_REQUEST_COMPLETED)), 1);
    EXPECT_EQ(get<uint32_t>(api, NyxApiGetChannelCount), 32u);
}

TEST_F(ApiService, StartTwiceRestartWithoutEventsAndStopOrDeleteWithARequestInFlight) {
    connect();
    EXPECT_EQ(NyxApiStart(api), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiGetState(api), NYXAPI_STATE_CONNECTED);
    NyxApiStop(api);
    NyxApiStop(api);
    EXPECT_EQ(NyxApiGetState(api), NYXAPI_STATE_IDLE);

    // Restarted with no event function, it connects anew and its cache still follows.
    ASSERT_EQ(NyxApiSetEventFn(api, nullptr), NYXAPI_SUCCESS);
    size_t mark = rec.size();
    uint32_t connects = nyxsim_received_count(sim, 1);
    ASSERT_EQ(NyxApiStart(api), NYXAPI_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return nyxsim_received_count(sim, 1) > connects; }));
    ASSERT_TRUE(becomes(NYXAPI_STATE_CONNECTED));
    ASSERT_EQ(NyxApiSetChannelCount(api, 16), NYXAPI_SUCCESS);
    EXPECT_TRUE(wait_until([&] { return get<uint32_t>(api, NyxApiGetChannelCount) == 16; }));
    EXPECT_TRUE(wait_until([&] { return !in_progress(); }));
    EXPECT_EQ(rec.size(), mark);

    // Neither stop nor delete waits for an answer that never comes.
    sim_command("noreply on");
    ASSERT_EQ(NyxApiSetChannelCount(api, 32), NYXAPI_SUCCESS);
    Clock::time_point start = Clock::now();
    NyxApiStop(api);
    EXPECT_LT(Clock::now() - start, 1500ms);
    EXPECT_EQ(NyxApiGetState(api), NYXAPI_STATE_IDLE);
    EXPECT_TRUE(in_progress()); // the client refused to stop under it; nothing is lost
    ASSERT_EQ(NyxApiStart(api), NYXAPI_SUCCESS);
    ASSERT_TRUE(becomes(NYXAPI_STATE_CONNECTED));
    start = Clock::now();
    NyxApiDelete(api);
    api = nullptr;
    EXPECT_LT(Clock::now() - start, 1500ms);
}

TEST_F(ApiService, LostManagerEmptiesTheCacheEndsTheRequestAndReconnects) {
    install_fast_clock();
    connect();
    // WDM first, so that the loss visibly turns the audio interface back to ASIO.
    ASSERT_EQ(COMPLETE(NyxApiSetAudioInterface(api, NYXAPI_AUDIO_INTERFACE_WDM),
                       NYXAPI_CHANGE_AUDIO_INTERFACE),
              NYXAPI_SUCCESS);
    sim_command("noreply on");
    size_t mark = rec.size();
    ASSERT_EQ(NyxApiSetAudioInterface(api, NYXAPI_AUDIO_INTERFACE_ASIO), NYXAPI_SUCCESS);
    sim_command("socket stop");
    long lost = rec.wait(mark, [](const Event &e) { return !connected(e); });
    ASSERT_GE(lost, 0);
    EXPECT_EQ(NyxApiGetState(api), NYXAPI_STATE_DISCONNECTED);
    bool busy = in_progress();
#ifdef _WIN32
    // No port-unreachable report here: the silence ends the connection, the request stays.
    EXPECT_TRUE(busy);
    EXPECT_EQ(NyxApiCancelRequest(api), NYXAPI_SUCCESS);
#else
    // The reset ends the request with a failed completion, before the state event.
    long done = rec.wait(mark, with(NYXAPI_CHANGE_REQUEST_COMPLETED));
    ASSERT_GE(done, 0);
    EXPECT_LT(done, lost);
    EXPECT_EQ(rec.at(done).result, NYXAPI_OTHER);
    EXPECT_FALSE(busy);
#endif
    // One event tells all that the loss changed: all but running, the name, the domain and
    // the lock.
    EXPECT_EQ(rec.at(lost).changes,
              0xFFFFFu & ~(NYXAPI_CHANGE_REQUEST_COMPLETED | NYXAPI_CHANGE_RUNNING |
                           NYXAPI_CHANGE_DEVICE_NAME | 0x10000u | NYXAPI_CHANGE_DOMAIN |
                           NYXAPI_CHANGE_DEVICE_LOCK_STATUS));
    EXPECT_EQ(cache_text(api),
              "version 0.0.0.0 running 0 status 0 if /000000000000 channels 0 audio 2 asio 0/0/0 "
              "corvo 0 link 0/0/0.0.0.0 name Studio-PC-Nyx domain 001/ lock 0 | interfaces  "
              "channels  audio  asio // corvo ");
    EXPECT_EQ(NyxApiSetAudioInterface(api, NYXAPI_AUDIO_INTERFACE_ASIO), NYXAPI_INVALID_STATE);

    sim_command("noreply off");
    mark = rec.size();
    sim_command("socket start");
    ASSERT_GE(rec.wait(mark, connected), 0);
    EXPECT_EQ(total(api, NyxApiAvailableChannelCounts), 6u);
    EXPECT_EQ(COMPLETE(NyxApiSetAudioInterface(api, NYXAPI_AUDIO_INTERFACE_ASIO),
                       NYXAPI_CHANGE_AUDIO_INTERFACE),
              NYXAPI_SUCCESS);
}

} // namespace
