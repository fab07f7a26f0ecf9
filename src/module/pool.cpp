// Placeholder until the worker pool lands.
