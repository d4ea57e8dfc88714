// server/update.cpp: encoding of the dashboard update body.
#include "server/update.h"

#include "telemetry/snapshot.h"

void SV_WriteUpdate(SizeBuffer& msg, ClientSlot& client) {
    TelemetrySnapshot snap;
    Snap_Take(snap);

    if (snap.on_track == 0) {
        MSG_WriteByte(msg, UPD_NO_DATA);
        return;
    }

    const bool full = client.device_type == 0;

    MSG_WriteByte(msg, UPD_ENGINE_WARNINGS);
    MSG_WriteByte(msg, snap.engine_warnings);
    if (full) {
        MSG_WriteByte(msg, UPD_SESSION_FLAGS);
        MSG_WriteByte(msg, snap.session_flags);
    }
    MSG_WriteByte(msg, UPD_GEAR);
    MSG_WriteShort(msg, snap.gear);
    MSG_WriteByte(msg, UPD_SPEED);
    MSG_WriteFloat(msg, snap.speed);
    MSG_WriteByte(msg, UPD_SHIFT_INDICATOR);
    MSG_WriteFloat(msg, snap.shift_indicator_pct);
    MSG_WriteByte(msg, UPD_RPM);
    MSG_WriteShort(msg, snap.rpm);
    MSG_WriteByte(msg, UPD_THROTTLE);
    MSG_WriteFloat(msg, snap.throttle);
    MSG_WriteByte(msg, UPD_BRAKE);
    MSG_WriteFloat(msg, snap.brake);
    MSG_WriteByte(msg, UPD_END_BASIC);

    // session_serial counts the publishes with refreshed session values,
    // so a client that has not seen this count yet has not had them.
    if (snap.session_serial == client.session_serial) {
        return;
    }
    client.session_serial = snap.session_serial;

    MSG_WriteByte(msg, UPD_CAR_ID);
    MSG_WriteShort(msg, snap.car_id);
    MSG_WriteByte(msg, UPD_FASTEST_TIME);
    MSG_WriteFloat(msg, snap.fastest_time);
    MSG_WriteByte(msg, UPD_LAST_TIME);
    MSG_WriteFloat(msg, snap.last_time);
    MSG_WriteByte(msg, UPD_SESSION_LAPS);
    MSG_WriteShort(msg, snap.session_laps);
    MSG_WriteByte(msg, UPD_LAP);
    MSG_WriteShort(msg, snap.lap);
    MSG_WriteByte(msg, UPD_WATER_TEMP);
    MSG_WriteFloat(msg, snap.water_temp);
    MSG_WriteByte(msg, UPD_OIL_TEMP);
    MSG_WriteFloat(msg, snap.oil_temp);
    MSG_WriteByte(msg, UPD_FUEL_LEVEL);
    MSG_WriteFloat(msg, snap.fuel_level);
    MSG_WriteByte(msg, UPD_POSITION);
    MSG_WriteByte(msg, snap.position);
    MSG_WriteByte(msg, UPD_NUM_POSITIONS);
    MSG_WriteByte(msg, snap.num_positions);
    if (full) {
        MSG_WriteByte(msg, UPD_FUEL_LAPS);
        MSG_WriteFloat(msg, snap.fuel_laps);
    }
    MSG_WriteByte(msg, UPD_END_SESSION);
}
