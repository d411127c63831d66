"""Compiled core runtime modules: waiters, tallybook, spawn, policy and faultsort."""
