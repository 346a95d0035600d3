# Native tests.
