'use strict';

// Decides whether a host connection may register, and under which id.
//
// Returns {ok: true, hostId, key} on success, where `key` is the credential
// identity used to tell "same host reconnecting" (same key -> the old
// connection is replaced) from "somebody else using this id" (different key
// -> the new connection is refused).
// Returns {closeCode, reason} to refuse; the socket is accepted and then
// closed with that code so clients can tell the reasons apart.
//
// May return a Promise: ticket checks may need a lookup.

// Tickets issued to linked hosts: ticket -> {hostId, expiresAt}. Kept in memory only.
const tickets = new Map();

function issueTicket(hostId, ticket, ttlMs = 60000) {
  tickets.set(ticket, { hostId, expiresAt: Date.now() + ttlMs });
  return ticket;
}

function forgetTickets() {
  tickets.clear();
}

// Drops the unused tickets of one host id, e.g. when its account link is revoked.
function forgetTicketsFor(hostId) {
  for (const [ticket, entry] of tickets) {
    if (entry.hostId === hostId) tickets.delete(ticket);
  }
}

function authenticateHost(query) {
  if (typeof query.ticket === 'string' && query.ticket !== '') {
    const entry = tickets.get(query.ticket);
    // <= so that a lifetime of 0 gives a ticket that is already expired.
    if (!entry || entry.expiresAt <= Date.now()) {
      return { closeCode: 4401, reason: 'ticket invalid or expired' };
    }
    // A ticket is good for one connection.
    tickets.delete(query.ticket);
    return { ok: true, hostId: entry.hostId, key: `ticket:${entry.hostId}` };
  }
  const id = typeof query.id === 'string' ? query.id : '';
  const key = typeof query.key === 'string' ? query.key : '';
  if (id === '' || key === '') {
    return { closeCode: 4401, reason: 'missing id or key' };
  }
  // Development server: any non-empty id/key pair is accepted.
  return { ok: true, hostId: id, key };
}

module.exports = { authenticateHost, issueTicket, forgetTickets, forgetTicketsFor };
